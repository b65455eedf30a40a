#pragma once

// The escpos backend's pieces shared by its run (escpos.cpp) and a
// connection's worth of a job (session.cpp): the cancel flag and times of
// this run, its lines to the print server, the queue's reasons, and the
// link to the printer.

#include "escposlink.h"
#include "jobstate.h"

#include <chrono>
#include <csignal>
#include <set>
#include <string>
#include <vector>

namespace kvbackend {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Set by SIGTERM, which is how the print server cancels a job.
extern volatile std::sig_atomic_t g_cancelled;
extern Timing g_timing;

// One line to the print server: a newline from the device URI, the title or
// an error would start a line of its own, which CUPS reads as a command.
void say(const std::string &line);

long seconds(milliseconds d);

// The printer-state-reasons this backend owns, kept in step with what it
// knows. A run starts by clearing them all: one left by a run that died (a
// power cut while the paper was out) would otherwise stay on the queue until
// the next time the same thing happens.
class Reasons {
public:
    Reasons()
        : m_shown{"media-empty-error", "cover-open-error", "other-error", "offline-report", kNoProcessIdReason}
    {
        update();
    }
    void printer(const std::vector<std::string> &now)
    {
        m_printer = now;
        update();
    }
    // The printer takes no data or answers nothing, or cannot be reached.
    void stuck(bool on)
    {
        m_stuck = on;
        update();
    }
    void noProcessIds(bool on)
    {
        m_noProcessIds = on;
        update();
    }
    // What the job's end leaves: only the finding about process IDs.
    void clear()
    {
        m_printer.clear();
        m_stuck = false;
        update();
    }

private:
    void update()
    {
        std::set<std::string> wanted(m_printer.begin(), m_printer.end());
        if (m_stuck && wanted.empty())
            wanted.insert("offline-report");
        if (m_noProcessIds)
            wanted.insert(kNoProcessIdReason);
        for (const auto &r : m_shown)
            if (!wanted.count(r))
                say("STATE: -" + r);
        for (const auto &r : wanted)
            if (!m_shown.count(r))
                say("STATE: +" + r);
        m_shown = wanted;
    }

    std::set<std::string> m_shown;
    std::vector<std::string> m_printer;
    bool m_stuck = false, m_noProcessIds = false;
};

std::string describe(const PrinterStatus &s);

// Connects, or says why not in `error`; `fatal` when waiting cannot help.
int connectTo(const DeviceUri &uri, std::string &error, bool &fatal);

// Sleeps up to `d`, returning early when the job is cancelled.
void pause(milliseconds d);

enum class Outcome { Done, Lost, Cancelled };

// One connection's worth of the job (session.cpp): sends what the printer
// has not confirmed, a few receipts at a time, and reads its answers until
// it has confirmed all, or the link is lost (`why` then says how).
Outcome printOnce(int fd, const std::vector<std::string> &pieces, JobState &state, const DeviceUri &uri,
                  Reasons &reasons, const PrinterMemory &memory, std::string &why);

} // namespace kvbackend
