#include "printerlink.h"



#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <string>

namespace kvbackend {

namespace {

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

} // namespace

Outcome printOnce(int fd, const std::vector<std::string> &pieces, JobState &state, const DeviceUri &uri,
                  Reasons &reasons, const PrinterMemory &memory, std::string &why)
{
    Session session(fd, pieces, state, uri, reasons, memory);
    return session.run(why);
}

} // namespace kvbackend
