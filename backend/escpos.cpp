// The "escpos" CUPS backend: a job for an ESC/POS receipt printer is done
// only when the printer says it has printed it.
//
// A plain socket queue counts a job done once its bytes are in the socket;
// a printer that restarts (a paper jam cleared) or resets the connection then
// loses every receipt still in its buffer, and nothing notices. Here every
// receipt is followed by a process-ID request, which the printer answers once
// the receipt is on paper. Whether the printer answers them at all (older
// models take the request silently) is asked first on every connection, and
// nothing is confirmed before that is known; for a printer that does not,
// receipts are confirmed as received instead (see Session::StatusPending).
// Only a few receipts are ever sent and unconfirmed, so a till that dies
// prints at most those twice. What the printer confirmed is kept on disk per
// job name and document (jobstate.h), so that a retry, a cancelled job sent
// again or a job the print server lost and got again sends only the receipts
// it has not confirmed. A printer that holds the connection is never taken
// for a lost one: paper out, an open cover, a full buffer are waited for and
// shown on the queue.
//
//   DEVICE_URI escpos://HOST[:PORT][/?confirm=auto|process-id|status|none&window=N]
//              escpos:/dev/usb/lpN[?...]   escpos:///dev/usb/lpN[?...]
//   escpos job-id user title copies options [file]
#include "escposlink.h"
#include "jobstate.h"

#include <cups/backend.h>
#include <cups/ipp.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <thread>

using namespace kvbackend;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

volatile std::sig_atomic_t g_cancelled = 0;
void onTerm(int) { g_cancelled = 1; }

Timing g_timing;

// One line to the print server: a newline from the device URI, the title or
// an error would start a line of its own, which CUPS reads as a command.
void say(const std::string &line) { std::cerr << visible(line) << std::endl; }

long seconds(milliseconds d) { return static_cast<long>((d.count() + 999) / 1000); }

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

std::string describe(const PrinterStatus &s)
{
    if (s.paperEnd)
        return "The receipt printer is out of paper.";
    if (s.coverOpen)
        return "The receipt printer's cover is open.";
    if (s.error)
        return "The receipt printer reports an error.";
    return "The receipt printer is offline.";
}

// Opens a printer's device: never through a symbolic link (the backend runs
// as lp, and a link under /dev/shm could point anywhere lp may write), and
// only a character device. `fatal` when no wait can make it right.
int openDevice(const std::string &path, std::string &error, bool &fatal)
{
    open_how how{};
    how.flags = O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;
    how.resolve = RESOLVE_NO_SYMLINKS;
    int fd = static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
    if (fd < 0 && errno == ENOSYS) {
        // A kernel before 5.6: each component checked, the last one not followed.
        std::string prefix;
        for (const auto &part : std::filesystem::path(path).relative_path()) {
            prefix += '/';
            prefix += part.string();
            struct stat st {};
            if (::lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                errno = ELOOP;
                break;
            }
        }
        if (errno != ELOOP)
            fd = ::open(path.c_str(), static_cast<int>(how.flags));
    }
    fatal = false;
    if (fd < 0) {
        fatal = errno == ELOOP || errno == EISDIR;
        error = errno == ENOENT ? "there is no device " + path + " (is the printer plugged in and on?)"
                : errno == ELOOP ? path + " leads through a symbolic link: name the printer's device itself"
                : errno == EISDIR ? path + " is a directory, not a printer's device"
                                  : path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        ::close(fd);
        fatal = true;
        error = path + " is not a character device (a printer's is, such as /dev/usb/lp0)";
        return -1;
    }
    return fd;
}

// Connects, or says why not in `error`; `fatal` when waiting cannot help.
int connectTo(const DeviceUri &uri, std::string &error, bool &fatal)
{
    fatal = false;
    if (!uri.device.empty())
        return openDevice(uri.device, error, fatal);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string port = std::to_string(uri.port);
    if (const int rc = ::getaddrinfo(uri.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL
                    ? "the printer's address \"" + uri.host + "\" is not known (" + ::gai_strerror(rc) + ")"
                    : uri.host + ": " + (rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0 && !g_cancelled; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = uri.host + ": " + std::strerror(errno);
            continue;
        }
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc < 0 && errno == EINPROGRESS) {
            // A signal cuts the wait short; it goes on for the time left.
            const auto until = Clock::now() + g_timing.connect;
            int soError = ETIMEDOUT;
            while (!g_cancelled) {
                const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
                if (left.count() <= 0)
                    break;
                pollfd p{fd, POLLOUT, 0};
                const int n = ::poll(&p, 1, static_cast<int>(left.count()));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n > 0) {
                    socklen_t len = sizeof soError;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
                        soError = errno;
                } else if (n < 0) {
                    soError = errno;
                }
                break;
            }
            errno = g_cancelled ? ECANCELED : soError;
            rc = soError == 0 && !g_cancelled ? 0 : -1;
        }
        if (rc < 0) {
            error = uri.host + ":" + port + ": " + std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd >= 0) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // The kernel tells a printer that is gone (switched off without a
        // word) from one that holds the connection with its buffer full: a
        // live one acknowledges the keepalive and zero-window probes.
        const unsigned userTimeout = static_cast<unsigned>(g_timing.progress.count());
        const int probeEvery = static_cast<int>(std::max<long>(1, seconds(g_timing.progress) / 3)), probes = 3;
        ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &probeEvery, sizeof probeEvery);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &probeEvery, sizeof probeEvery);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    }
    return fd;
}

// Sleeps up to `d`, returning early when the job is cancelled.
void pause(milliseconds d)
{
    const auto until = Clock::now() + d;
    while (!g_cancelled && Clock::now() < until)
        std::this_thread::sleep_for(std::min<Clock::duration>(milliseconds(50), until - Clock::now()));
}

enum class Outcome { Done, Lost, Cancelled };

// One connection's worth of the job: sends what the printer has not confirmed,
// a few receipts at a time, and reads its answers until it has confirmed
// all, or the link is lost.
class Session {
public:
    Session(int fd, const std::vector<std::string> &pieces, JobState &state, const DeviceUri &uri, Reasons &reasons,
            const PrinterMemory &memory)
        : m_fd(fd), m_pieces(pieces), m_state(state), m_window(uri.window), m_reasons(reasons), m_memory(memory),
          m_next(state.confirmed), m_probeId(probeIdOf(state.jobId(), state.attempt))
    {
        switch (uri.confirm) {
        case Confirm::None:
            m_mode = Mode::None;
            m_window = 0;
            return;
        case Confirm::ProcessId: m_mode = Mode::ProcessId; break;
        case Confirm::Status: m_mode = Mode::Status; break;
        case Confirm::Auto:
            // Asked anew on every connection, and nothing is sent before the
            // answer: a receipt confirmed as received by a printer that
            // turns out to answer process IDs would be lost by its restart.
            // What is remembered only sets how long to wait.
            m_mode = Mode::Probing;
            m_probeWait = memory.rememberedSilent() ? g_timing.probe : g_timing.probe * 4;
            break;
        }
        // Automatic status back goes first: it is carried out in turn, and
        // must be in force before data can fill the printer's buffer.
        m_out.append(kEnableAutoStatus, kEnableAutoStatusBytes);
        poll();
        if (m_mode == Mode::Probing)
            m_out += processIdRequest(m_probeId);
        m_probeEnd = m_out.size();
    }

    Outcome run(std::string &why)
    {
        auto probeSince = Clock::now();
        auto lastTaken = Clock::now();
        std::size_t takenBefore = 0;
        while (m_state.confirmed < m_pieces.size()) {
            if (g_cancelled && !m_cancelling)
                beginCancel();
            if (m_cancelling && (m_state.confirmed >= m_next || Clock::now() > m_cancelUntil))
                return Outcome::Cancelled;
            const auto now = Clock::now();
            while (!m_cancelling && m_mode != Mode::Probing && m_next < m_pieces.size() &&
                   (m_window == 0 || m_next < m_state.confirmed + m_window))
                append(m_next++);
            const std::size_t taken = takenByPrinter();
            if (taken > takenBefore) {
                takenBefore = taken;
                lastTaken = now;
            }
            if (m_mode == Mode::None) {
                if (m_written == m_out.size() && !m_cancelling)
                    return drain();
            } else {
                noteAcknowledged(taken, now);
                // A printer that holds the connection and takes no data (its
                // buffer is full: out of paper, cover open, offline) or does
                // not answer what it took is stopped, never lost: its buffer
                // prints once it is back, and a resend would print it twice.
                // A printer that is gone the kernel finds (connectTo).
                const bool takesNothing = taken < m_written && now - lastTaken > g_timing.status;
                const bool answersNothing =
                    m_pollAcked && m_statusAnswers < m_requests && now - m_pollAckedAt > g_timing.status;
                showStuck(takesNothing ? "takes no data (its buffer is full: out of paper, cover open or offline?)"
                          : answersNothing ? "does not answer status requests"
                                           : "");
                if (m_mode == Mode::Probing) {
                    // The wait counts only while the printer has taken the
                    // probe and reports itself ready: one just switched on,
                    // stopped or busy is not one that never answers.
                    if (taken < m_probeEnd || !m_statusKnown || m_status.stopped() || !m_stuck.empty())
                        probeSince = now;
                    if (now - probeSince > m_probeWait)
                        noProcessIds();
                }
                if (!pollPending() && now - std::max(m_lastConfirmed, m_lastPoll) >= g_timing.every &&
                    (m_mode == Mode::Probing || m_next > m_state.confirmed))
                    poll();
            }
            pollfd p{m_fd, POLLIN, 0};
            if (m_written < m_out.size())
                p.events |= POLLOUT;
            const int rc = ::poll(&p, 1, 50);
            if (rc < 0 && errno != EINTR) {
                why = std::string("poll: ") + std::strerror(errno);
                return Outcome::Lost;
            }
            if (rc <= 0)
                continue;
            if ((p.revents & POLLOUT) && !send(why))
                return Outcome::Lost;
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                char buf[512];
                const ssize_t n = ::read(m_fd, buf, sizeof buf);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                    why = n == 0 ? "the printer closed the connection" : std::string("reading: ") + std::strerror(errno);
                    return Outcome::Lost;
                }
                if (n > 0)
                    m_answers.feed(buf, static_cast<std::size_t>(n));
            }
            while (auto a = m_answers.next())
                answer(*a);
        }
        return Outcome::Done;
    }

private:
    enum class Mode { Probing, ProcessId, Status, None };
    struct Range {
        std::size_t begin, end; // receipt bytes in m_out
        std::size_t requestEnd; // and the request that follows it
        std::size_t piece;
        unsigned long requestsBefore; // our status requests sent before it
    };
    // In status mode a receipt is confirmed as received once the printer
    // has acknowledged its bytes and the status request after it (TCP's
    // acknowledgement, or a write the device took), and as many status
    // answers have come as we sent requests up to that one: the printer has
    // read the receipt and answered on this connection. Only our own
    // requests are counted. Bytes inside a receipt that look like a request
    // (a logo's raster holding 10 04 01) and that the printer answers can
    // only make the count reach a request early, and never before the
    // printer acknowledged the receipt's bytes, which no receipt can forge;
    // unanswered, they hold nothing back. So they can neither confirm a
    // receipt the printer does not have nor stall one and have it resent.
    struct StatusPending {
        std::size_t piece, requestEnd;
        unsigned long requests; // our status requests up to and including this one's
    };

    void poll()
    {
        m_out.append(kStatusRequests, kStatusRequestBytes);
        for (int n : {1, 2, 4})
            m_expected.push_back(n);
        m_requests += 3;
        m_pollEnd = m_out.size();
        m_pollAcked = false;
        m_lastPoll = Clock::now();
    }

    bool pollPending() const { return m_pollEnd && m_statusAnswers < m_requests; }

    void append(std::size_t k)
    {
        const std::string &piece = m_pieces[k];
        Range range{m_out.size(), m_out.size() + piece.size(), 0, k, m_requests};
        m_out += piece;
        if (m_mode == Mode::ProcessId) {
            m_out += processIdRequest(processIdOf(m_state.jobId(), m_state.attempt, k));
        } else if (m_mode == Mode::Status) {
            poll();
            m_statusPending.push_back(StatusPending{k, m_out.size(), m_requests});
        }
        range.requestEnd = m_out.size();
        m_ranges.push_back(range);
    }

    void noteAcknowledged(std::size_t taken, Clock::time_point now)
    {
        if (m_pollEnd && !m_pollAcked && taken >= m_pollEnd) {
            m_pollAcked = true;
            m_pollAckedAt = now;
        }
    }

    // Bytes the printer has acknowledged; what sits unacknowledged in the
    // socket has not reached it (a full buffer keeps it there).
    std::size_t takenByPrinter() const
    {
        int unacked = 0;
        if (::ioctl(m_fd, SIOCOUTQ, &unacked) != 0 || unacked < 0)
            unacked = 0;
        return m_written - std::min<std::size_t>(m_written, static_cast<std::size_t>(unacked));
    }

    bool send(std::string &why)
    {
        const ssize_t n = ::write(m_fd, m_out.data() + m_written, m_out.size() - m_written);
        if (n > 0) {
            m_written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            why = std::string("sending: ") + std::strerror(errno);
            return false;
        }
        return true;
    }

    void answer(const AnswerReader::Answer &a)
    {
        switch (a.kind) {
        case AnswerReader::Answer::ProcessId:
            if (a.id == m_probeId) {
                answeredUpTo(3);
                processIdsAnswered();
                return;
            }
            for (const Range &r : m_ranges) {
                // Pieces print in order: an answer for piece k confirms all before it.
                if (r.piece >= m_state.confirmed && processIdOf(m_state.jobId(), m_state.attempt, r.piece) == a.id) {
                    answeredUpTo(r.requestsBefore);
                    confirmUpTo(r.piece);
                    return;
                }
            }
            say("DEBUG: an answer for another job or connection, ignored");
            return;
        case AnswerReader::Answer::AutoStatus:
            showStatus(autoStatus(a.id));
            return;
        case AnswerReader::Answer::Status:
            ++m_statusAnswers;
            // Read as the answers to our own requests, in turn: a status
            // request inside a receipt may shift them, which shows a wrong
            // state until the next poll and never confirms or resends.
            if (!m_expected.empty()) {
                applyStatus(m_polled, m_expected.front(), a.status);
                if (m_expected.front() == 4) { // the last of a poll: the whole picture
                    showStatus(m_polled);
                    m_polled = PrinterStatus{};
                }
                m_expected.pop_front();
            }
            break;
        }
        std::optional<std::size_t> upTo;
        const std::size_t taken = m_statusPending.empty() ? 0 : takenByPrinter();
        while (!m_statusPending.empty() && taken >= m_statusPending.front().requestEnd &&
               m_statusAnswers >= m_statusPending.front().requests) {
            upTo = m_statusPending.front().piece;
            m_statusPending.pop_front();
        }
        if (upTo)
            confirmUpTo(*upTo);
    }

    // A process-ID answer comes once everything before its request is done,
    // so every status request before it has had its answer, or was dropped:
    // a printer ignores one that comes while it sends an answer block.
    void answeredUpTo(unsigned long requests)
    {
        if (m_statusAnswers < requests) {
            m_statusAnswers = requests;
            m_expected.clear();
            m_polled = PrinterStatus{};
        }
    }

    void showStatus(const PrinterStatus &status)
    {
        const bool changed = !m_statusKnown || !(status == m_status);
        m_status = status;
        m_statusKnown = true;
        if (!changed)
            return;
        m_reasons.printer(stateReasons(status));
        if (status.stopped())
            say("INFO: " + describe(status));
        else if (m_told)
            say("INFO: Printing.");
        m_told = status.stopped();
    }

    void showStuck(const std::string &what)
    {
        if (what == m_stuck)
            return;
        m_stuck = what;
        m_reasons.stuck(!what.empty());
        say(what.empty() ? std::string("INFO: Printing.") : "INFO: The receipt printer " + what + "; the job waits.");
    }

    void processIdsAnswered()
    {
        m_memory.probeAnswered();
        m_reasons.noProcessIds(false);
        if (m_mode == Mode::Status)
            say("INFO: The receipt printer answers process-ID requests after all: the rest of the receipts are "
                "confirmed once printed.");
        // Later receipts only: those sent meanwhile stay as they are confirmed.
        m_mode = Mode::ProcessId;
    }

    void noProcessIds()
    {
        m_mode = Mode::Status;
        m_memory.probeUnanswered();
        m_reasons.noProcessIds(true);
        say("INFO: The receipt printer does not answer process-ID requests: each receipt is confirmed once the "
            "printer has received it, not once it is printed.");
    }

    void confirmUpTo(std::size_t k)
    {
        if (k < m_state.confirmed)
            return;
        const std::size_t from = m_state.confirmed;
        m_state.confirmed = k + 1;
        m_lastConfirmed = Clock::now();
        while (!m_ranges.empty() && m_ranges.front().piece <= k)
            m_ranges.pop_front();
        std::string error;
        if (!m_state.save(error))
            say("WARNING: " + error);
        for (std::size_t i = from; i <= k; ++i)
            say("PAGE: " + std::to_string(i + 1) + " 1");
        say("DEBUG: receipt " + std::to_string(k + 1) + " of " + std::to_string(m_pieces.size()) + " confirmed");
    }

    // A cancelled job: the receipt being sent is sent whole with its request,
    // so the paper ends clean and the next job's first bytes are not taken
    // as the rest of a command; nothing after it is sent. What was sent is
    // then waited for (within the cancel time), so that the job sent again
    // under its name prints only what the printer did not confirm.
    void beginCancel()
    {
        m_cancelling = true;
        m_cancelUntil = Clock::now() + g_timing.cancel;
        std::size_t keep = m_written;
        std::size_t next = m_state.confirmed;
        while (!m_ranges.empty() && m_ranges.back().begin >= m_written)
            m_ranges.pop_back();
        if (!m_ranges.empty()) {
            keep = std::max(keep, m_ranges.back().requestEnd);
            next = std::max(next, m_ranges.back().piece + 1);
        }
        m_out.resize(keep);
        m_next = next;
        while (!m_statusPending.empty() && m_statusPending.back().piece >= m_next)
            m_statusPending.pop_back();
        if (m_pollEnd > keep)
            m_pollEnd = 0;
    }

    // Without confirmation: the job is done once the printer has read it all,
    // which it shows by closing its side (or by staying quiet a moment).
    Outcome drain()
    {
        ::shutdown(m_fd, SHUT_WR);
        const auto until = Clock::now() + milliseconds(2000);
        char buf[256];
        while (Clock::now() < until && !g_cancelled) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && ::read(m_fd, buf, sizeof buf) <= 0)
                break;
        }
        confirmUpTo(m_pieces.size() - 1);
        return Outcome::Done;
    }

    int m_fd;
    const std::vector<std::string> &m_pieces;
    JobState &m_state;
    std::size_t m_window;
    Reasons &m_reasons;
    const PrinterMemory &m_memory;
    Mode m_mode = Mode::ProcessId;
    std::size_t m_next;
    const std::string m_probeId;
    std::size_t m_probeEnd = 0;
    milliseconds m_probeWait{0};
    std::string m_out;
    std::size_t m_written = 0;
    std::deque<Range> m_ranges;
    std::deque<StatusPending> m_statusPending;
    std::deque<int> m_expected; // the DLE EOT n of our requests not yet answered
    unsigned long m_requests = 0, m_statusAnswers = 0;
    std::size_t m_pollEnd = 0; // where the last poll ends in m_out; 0: none
    bool m_pollAcked = false;
    Clock::time_point m_pollAckedAt{}, m_lastPoll{}, m_lastConfirmed{};
    AnswerReader m_answers;
    PrinterStatus m_status, m_polled;
    bool m_statusKnown = false;
    bool m_told = false;
    std::string m_stuck;
    bool m_cancelling = false;
    Clock::time_point m_cancelUntil{};
};

bool readJob(const char *file, std::string &job, std::string &error)
{
    const std::string name = file ? std::string("the job file ") + file : "the job";
    const int fd = file ? ::open(file, O_RDONLY | O_CLOEXEC) : 0;
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        error = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    bool ok = !S_ISDIR(st.st_mode);
    if (!ok)
        error = name + " is a directory, not a job";
    char buf[65536];
    for (ssize_t n = 1; ok && n != 0;) {
        n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            job.append(buf, static_cast<std::size_t>(n));
        else if (n < 0 && errno != EINTR) {
            error = "reading " + name + " failed: " + std::strerror(errno);
            ok = false;
        }
    }
    if (file)
        ::close(fd);
    return ok;
}

void listDevices()
{
    std::cout << "network escpos \"Unknown\" \"ESC/POS receipt printer, each receipt confirmed\"" << std::endl;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/dev/usb", ec)) {
        const std::string name = e.path().filename();
        if (name.rfind("lp", 0) == 0)
            std::cout << "direct escpos:" << e.path().string() << " \"Unknown\" \"ESC/POS receipt printer on "
                      << name << "\"" << std::endl;
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::ios::sync_with_stdio(false);
    if (argc == 1) {
        listDevices();
        return CUPS_BACKEND_OK;
    }
    if (argc < 6 || argc > 7) {
        std::cerr << "Usage: escpos job-id user title copies options [file]" << std::endl;
        return CUPS_BACKEND_FAILED;
    }
    struct sigaction term {};
    term.sa_handler = onTerm; // no SA_RESTART: a wait ends when the job is cancelled
    sigaction(SIGTERM, &term, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A print server killed in mid-job starts the job again when it comes
    // back; this run must not print on beside that one. One that died
    // before the request took hold has left this run to init already.
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent)
        return CUPS_BACKEND_RETRY_CURRENT;

    std::string error;
    g_timing = parseTiming(std::getenv("KV_ESCPOS_TIMING"), error);
    if (!error.empty())
        say("WARNING: " + error + "; the usual times apply");
    error.clear();
    Reasons reasons;
    const char *uriText = std::getenv("DEVICE_URI");
    const std::string uriString = uriText ? uriText : argv[0];
    const auto uri = parseDeviceUri(uriString, error);
    if (!uri) {
        say("ERROR: " + error);
        return CUPS_BACKEND_STOP;
    }
    std::string job;
    const bool fromFile = argc == 7;
    if (!readJob(fromFile ? argv[6] : nullptr, job, error)) {
        say("ERROR: " + error);
        return CUPS_BACKEND_FAILED;
    }
    const auto pieces = splitReceipts(job);
    // Copies are the backend's to make only when it is given a file; from
    // standard input they were made before it (CUPS's filter chain).
    const int copies = fromFile ? std::max(1, std::atoi(argv[4])) : 1;
    std::vector<std::string> all;
    for (int c = 0; c < copies; ++c)
        all.insert(all.end(), pieces.begin(), pieces.end());

    // The job's name and document find what the printer confirmed of it in
    // any earlier run, under this number or another (jobstate.h).
    const std::string directory = JobState::directory();
    JobState::sweep(directory);
    JobState state(directory, std::atoi(argv[1]), argv[3], job, all.size());
    JobState::Lock lock = state.lock(false, error);
    if (lock == JobState::Lock::Busy) {
        say("INFO: Another run of this job (the same name and data) is printing; this one waits for it and then "
            "prints only what it did not.");
        lock = state.lock(true, error);
    }
    if (g_cancelled)
        return CUPS_BACKEND_OK;
    if (lock == JobState::Lock::Failed)
        say("WARNING: " + error + "; printing without it");
    error.clear();
    if (const auto own = askPrintServer(state.jobId()); own && own->state)
        state.uuid = own->uuid;
    const auto knownCompleted = [](int id, const std::string &uuid) {
        const auto known = askPrintServer(id);
        return known && known->uuid == uuid && known->state == IPP_JSTATE_COMPLETED;
    };
    bool restarted = false;
    if (!state.load(error, knownCompleted, restarted))
        say("WARNING: " + error + "; the whole job is sent");
    if (restarted)
        say("INFO: A completed job of the same name and data is still listed by the print server: this one is a new "
            "print and prints whole.");
    // Kept before anything is sent: a run that dies leaves the next one a
    // number of its own, so no answer meant for this one confirms its pieces.
    ++state.attempt;
    if (!state.save(error))
        say("WARNING: " + error);
    if (state.confirmed > 0 && state.confirmed < all.size())
        say("INFO: the printer confirmed " + std::to_string(state.confirmed) + " of " + std::to_string(all.size()) +
            " receipts before; sending the rest");
    if (state.confirmed > 0 && state.confirmed == all.size()) {
        say("INFO: The printer confirmed every receipt of this job before (it was sent again): nothing to print.");
        return CUPS_BACKEND_OK;
    }
    const PrinterMemory memory(directory, uriString);

    milliseconds wait{500};
    std::string toldAway;
    while (state.confirmed < all.size()) {
        bool fatal = false;
        const int fd = connectTo(*uri, error, fatal);
        if (g_cancelled) {
            if (fd >= 0)
                ::close(fd);
            reasons.clear();
            return CUPS_BACKEND_OK;
        }
        if (fatal) {
            say("ERROR: " + error);
            reasons.clear();
            return CUPS_BACKEND_STOP;
        }
        if (fd < 0) {
            // Switched off, restarting, unplugged or misnamed: the queue says
            // which, and the job waits for the printer as long as it takes,
            // asking less and less often.
            reasons.stuck(true);
            if (error != toldAway)
                say("INFO: The receipt printer does not answer: " + error + "; trying again.");
            toldAway = error;
            if (std::getenv("CLASS")) {
                // Sent to a class: another printer of it may take the job.
                say("INFO: The receipt printer does not answer: " + error + "; the job goes to the next printer of the class.");
                pause(g_timing.connect);
                reasons.clear();
                return CUPS_BACKEND_FAILED;
            }
            pause(wait);
            wait = std::min(wait * 2, milliseconds(16000));
            continue;
        }
        if (!toldAway.empty()) {
            reasons.clear();
            toldAway.clear();
        }
        say("INFO: Printing.");
        Session session(fd, all, state, *uri, reasons, memory);
        std::string why;
        const Outcome outcome = session.run(why);
        ::close(fd);
        if (outcome == Outcome::Cancelled || g_cancelled) {
            // Its state stays: the job sent again resumes from it.
            reasons.clear();
            return CUPS_BACKEND_OK;
        }
        if (outcome == Outcome::Lost) {
            say("INFO: Lost the receipt printer (" + why + "); " + std::to_string(state.confirmed) + " of " +
                std::to_string(all.size()) + " receipts confirmed, the job is retried.");
            reasons.clear();
            // A printer that resets every connection is tried less and less often.
            pause(g_timing.retry * (1 << std::min(state.attempt - 1, 6u)));
            return CUPS_BACKEND_RETRY_CURRENT;
        }
    }
    // The state stays, so that this job sent again prints nothing.
    reasons.clear();
    say("INFO: Ready to print.");
    return CUPS_BACKEND_OK;
}
