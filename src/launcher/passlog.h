// The line a pass over the POS queue leaves in the log an admin reads: why
// it ran, what it read, printed and deleted, and why rows stay queued.
#pragma once

#include "escpos/vbPosCommands.h"
#include "core/eventlog.h"
#include "launcher/libraryjobs.h"

#include <QString>

namespace kv {

// Why the pass ran, in words ("notified", "at start-up" ...).
QString passCauseText(PassCause cause);

// One line per pass. A pass that had nothing to print made no job and says
// so; "job taken by" only names a printer that took one.
QString passLogLine(const PosPassReport &pass, PassCause cause);

// What the library jobs found, in that log: every notified pass (a sale),
// and the launcher's own passes and looks, which say why rows wait once, not
// at every retry of a long outage.
class FindingsLog {
public:
    explicit FindingsLog(EventLog &log) : m_log(log) {}
    // The lines of one job's findings (the error of a job aside).
    void write(const LibraryFindings &found);

private:
    void writePass(const PosPassReport &pass, PassCause cause);

    EventLog &m_log;
    // Why rows wait has been logged, and no pass has printed since.
    bool m_waitLogged = false;
    // What the last look at the jobs out could not do; "" when it did all.
    QString m_followFailure;
};

} // namespace kv
