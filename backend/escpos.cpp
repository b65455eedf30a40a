// The "escpos" CUPS backend: a job for an ESC/POS receipt printer is done
// only when the printer says it has printed it.
//
// A plain socket queue counts a job done once its bytes are in the socket;
// a printer that restarts (a paper jam cleared) or resets the connection then
// loses every receipt still in its buffer, and nothing notices. Here every
// receipt is followed by a process-ID request, which the printer answers once
// the receipt is on paper; a printer that does not answer them (older models
// take the request silently) is found out before the first receipt and its
// receipts are confirmed by real-time status answers instead. Only a few
// receipts are ever sent and unconfirmed, so a till that dies prints at most
// those twice. What the printer confirmed is kept on disk per job, so that a
// retry sends only the receipts it has not confirmed. The printer reports
// paper out, cover open and errors unasked (automatic status back), so a
// stopped printer is waited for, never taken for a lost one.
//
//   DEVICE_URI escpos://HOST[:PORT][/?confirm=auto|process-id|status|none&window=N]
//              escpos:/dev/usb/lpN[?...]
//   escpos job-id user title copies options [file]
#include "escposlink.h"
#include "jobstate.h"

#include <cups/backend.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>


using namespace kvbackend;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

volatile std::sig_atomic_t g_cancelled = 0;
void onTerm(int) { g_cancelled = 1; }

Timing g_timing;

void say(const std::string &line) { std::cerr << line << std::endl; }

long seconds(milliseconds d) { return static_cast<long>((d.count() + 999) / 1000); }

// The printer-state-reasons this backend has set, kept in step with the printer.
class Reasons {
public:
    void show(const std::vector<std::string> &now)
    {
        const std::set<std::string> wanted(now.begin(), now.end());
        for (const auto &r : m_shown)
            if (!wanted.count(r))
                say("STATE: -" + r);
        for (const auto &r : wanted)
            if (!m_shown.count(r))
                say("STATE: +" + r);
        m_shown = wanted;
    }
    void clear() { show({}); }

private:
    std::set<std::string> m_shown;
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

// Connects, or says why not in `error`.
int connectTo(const DeviceUri &uri, std::string &error)
{
    if (!uri.device.empty()) {
        const int fd = ::open(uri.device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            error = errno == ENOENT ? "there is no device " + uri.device + " (is the printer plugged in and on?)"
                                    : uri.device + ": " + std::strerror(errno);
        return fd;
    }
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
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
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
            // Found out anew on every connection: a printer remembered as
            // silent still gets the question, and is believed once it answers.
            m_probing = true;
            m_mode = memory.answersProcessIds() ? Mode::Probing : Mode::Status;
            if (m_mode == Mode::Status)
                say(std::string("STATE: +") + kNoProcessIdReason);
            break;
        }
        // Automatic status back goes first: it is carried out in turn, and
        // must be in force before data can fill the printer's buffer.
        m_out.append(kEnableAutoStatus, kEnableAutoStatusBytes);
        poll();
        if (m_probing)
            m_out += processIdRequest(m_probeId);
        m_probeEnd = m_out.size();
    }

    Outcome run(std::string &why)
    {
        auto lastProgress = Clock::now();
        auto lastPoll = Clock::now();
        auto probeSince = Clock::now();
        auto stoppedAt = Clock::time_point{};
        std::size_t receiptTaken = 0;
        while (m_state.confirmed < m_pieces.size()) {
            if (g_cancelled)
                return finishReceipt();
            const auto now = Clock::now();
            while (m_mode != Mode::Probing && m_next < m_pieces.size() &&
                   (m_window == 0 || m_next < m_state.confirmed + m_window))
                append(m_next++);
            const std::size_t taken = takenByPrinter();
            if (const std::size_t r = receiptBytesBelow(taken); r > receiptTaken) {
                receiptTaken = r;
                lastProgress = now;
            }
            if (m_mode == Mode::None) {
                if (m_written == m_out.size())
                    return drain();
            } else {
                // A printer that says it is stopped is waited for: its
                // buffer is still there and prints once it is back.
                if (m_status.stopped())
                    stoppedAt = now;
                const auto since = [&](Clock::time_point t) { return now - std::max(t, stoppedAt); };
                // A status request counts from when the printer took it, and
                // not while receipts still go in or come out confirmed: it
                // waits behind them when the buffer is full.
                if (m_pollEnd && taken < m_pollEnd)
                    m_pollTakenAt = now;
                if (m_pollEnd && since(std::max(m_pollTakenAt, lastProgress)) > g_timing.status) {
                    why = "the printer did not answer a status request within " + std::to_string(seconds(g_timing.status)) +
                          " s";
                    return Outcome::Lost;
                }
                if (since(lastProgress) > g_timing.progress) {
                    why = "the printer took no receipt and confirmed none for " +
                          std::to_string(seconds(g_timing.progress)) + " s while it reported itself ready";
                    return Outcome::Lost;
                }
                if (m_probing && (taken < m_probeEnd || !m_statusKnown))
                    probeSince = now;
                if (m_mode == Mode::Probing && since(probeSince) > g_timing.probe)
                    noProcessIds();
                if (!m_pollEnd && now - std::max(lastProgress, lastPoll) >= g_timing.every &&
                    (m_mode == Mode::Probing || m_next > m_state.confirmed)) {
                    poll();
                    lastPoll = now;
                }
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
            if ((p.revents & POLLOUT) && !send(m_out.size(), why))
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
            while (auto a = m_answers.next()) {
                if (answer(*a)) {
                    lastProgress = Clock::now();
                    lastPoll = lastProgress;
                }
            }
        }
        return Outcome::Done;
    }

private:
    enum class Mode { Probing, ProcessId, Status, None };
    struct Expect {
        enum Kind { Poll, Foreign, Confirms } kind;
        int request;        // Poll: 1, 2 or 4
        std::size_t piece;  // Confirms: this piece
    };
    struct Range {
        std::size_t begin, end; // receipt bytes in m_out
    };

    void poll()
    {
        m_out.append(kStatusRequests, kStatusRequestBytes);
        for (int n : {1, 2, 4})
            m_expected.push_back(Expect{Expect::Poll, n, 0});
        m_pollEnd = m_out.size();
        m_pollTakenAt = Clock::now();
    }

    void append(std::size_t k)
    {
        const std::string &piece = m_pieces[k];
        m_ranges.push_back(Range{m_out.size(), m_out.size() + piece.size()});
        m_out += piece;
        if (m_mode == Mode::None)
            return;
        // The printer answers a status request inside the receipt too, in turn.
        for (int n : statusRequestsIn(piece))
            m_expected.push_back(Expect{Expect::Foreign, n, 0});
        if (m_mode == Mode::ProcessId) {
            m_out += processIdRequest(processIdOf(m_state.jobId(), m_state.attempt, k));
        } else {
            m_out.append(kStatusRequests, 3);
            m_expected.push_back(Expect{Expect::Confirms, 1, k});
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

    std::size_t receiptBytesBelow(std::size_t offset)
    {
        while (m_closed < m_ranges.size() && m_ranges[m_closed].end <= offset)
            m_closedBytes += m_ranges[m_closed].end - m_ranges[m_closed].begin, ++m_closed;
        std::size_t partial = 0;
        if (m_closed < m_ranges.size() && m_ranges[m_closed].begin < offset)
            partial = offset - m_ranges[m_closed].begin;
        return m_closedBytes + partial;
    }

    bool send(std::size_t upTo, std::string &why)
    {
        const ssize_t n = ::write(m_fd, m_out.data() + m_written, upTo - m_written);
        if (n > 0)
            m_written += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            why = std::string("sending: ") + std::strerror(errno);
            return false;
        }
        return true;
    }

    // True when the answer is progress.
    bool answer(const AnswerReader::Answer &a)
    {
        switch (a.kind) {
        case AnswerReader::Answer::ProcessId:
            if (a.id == m_probeId) {
                processIdsAnswered();
                return true;
            }
            for (std::size_t k = m_state.confirmed; k < m_next; ++k) {
                // Pieces print in order: an answer for piece k confirms all before it.
                if (processIdOf(m_state.jobId(), m_state.attempt, k) == a.id) {
                    confirmUpTo(k);
                    return true;
                }
            }
            say("DEBUG: an answer for another job or connection, ignored");
            return false;
        case AnswerReader::Answer::AutoStatus:
            showStatus(autoStatus(a.id));
            return false;
        case AnswerReader::Answer::Status:
            break;
        }
        if (m_expected.empty()) {
            say("DEBUG: an unasked status byte, ignored");
            return false;
        }
        const Expect e = m_expected.front();
        m_expected.pop_front();
        if (e.kind == Expect::Confirms) {
            confirmUpTo(e.piece);
            return true;
        }
        if (e.kind == Expect::Poll) {
            applyStatus(m_polled, e.request, a.status);
            if (e.request == 4) { // the last of a poll: the whole picture
                m_pollEnd = 0;
                showStatus(m_polled);
                m_polled = PrinterStatus{};
            }
        }
        return false;
    }

    void showStatus(const PrinterStatus &status)
    {
        const bool changed = !m_statusKnown || !(status == m_status);
        m_status = status;
        m_statusKnown = true;
        if (!changed)
            return;
        m_reasons.show(stateReasons(status));
        if (status.stopped())
            say("INFO: " + describe(status));
        else if (m_told)
            say("INFO: Printing.");
        m_told = status.stopped();
    }

    void processIdsAnswered()
    {
        m_probing = false;
        if (!m_memory.answersProcessIds()) {
            m_memory.setAnswersProcessIds(true);
            say(std::string("STATE: -") + kNoProcessIdReason);
            say("INFO: The receipt printer answers process-ID requests again: receipts are confirmed once printed.");
        }
        if (m_mode == Mode::Probing)
            m_mode = Mode::ProcessId;
    }

    void noProcessIds()
    {
        m_mode = Mode::Status;
        m_memory.setAnswersProcessIds(false);
        say(std::string("STATE: +") + kNoProcessIdReason);
        say("INFO: The receipt printer does not answer process-ID requests: each receipt is confirmed once the "
            "printer has received it, not once it is printed.");
    }

    void confirmUpTo(std::size_t k)
    {
        if (k < m_state.confirmed)
            return;
        const std::size_t from = m_state.confirmed;
        m_state.confirmed = k + 1;
        std::string error;
        if (!m_state.save(error))
            say("WARNING: " + error);
        for (std::size_t i = from; i <= k; ++i)
            say("PAGE: " + std::to_string(i + 1) + " 1");
        say("DEBUG: receipt " + std::to_string(k + 1) + " of " + std::to_string(m_pieces.size()) + " confirmed");
    }

    // A cancelled job: the receipt being sent is sent whole and cut, so the
    // paper ends clean and the next job's first bytes are not taken as the
    // rest of a command. Nothing more is sent.
    Outcome finishReceipt()
    {
        std::string rest;
        for (const Range &r : m_ranges) {
            if (r.begin < m_written && m_written < r.end) {
                rest = m_out.substr(m_written, r.end - m_written);
                const std::string &cut = cutCommand();
                if (rest.size() < cut.size() || rest.compare(rest.size() - cut.size(), cut.size(), cut) != 0)
                    rest += cut;
            }
        }
        m_out.resize(m_written);
        m_out += rest;
        const auto until = Clock::now() + g_timing.cancel;
        std::string why;
        while (m_written < m_out.size() && Clock::now() < until) {
            pollfd p{m_fd, POLLOUT, 0};
            if (::poll(&p, 1, 50) > 0 && !send(m_out.size(), why))
                break;
        }
        return Outcome::Cancelled;
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
    bool m_probing = false;
    std::size_t m_next;
    const std::string m_probeId;
    std::size_t m_probeEnd = 0;
    std::string m_out;
    std::size_t m_written = 0;
    std::deque<Range> m_ranges;
    std::size_t m_closed = 0, m_closedBytes = 0;
    std::deque<Expect> m_expected;
    std::size_t m_pollEnd = 0; // where the outstanding poll ends in m_out; 0: none
    Clock::time_point m_pollTakenAt{};
    AnswerReader m_answers;
    PrinterStatus m_status, m_polled;
    bool m_statusKnown = false;
    bool m_told = false;
};

bool readJob(const char *file, std::string &job, std::string &error)
{
    std::ifstream in;
    if (file)
        in.open(file, std::ios::binary);
    std::istream &from = file ? static_cast<std::istream &>(in) : std::cin;
    if (file && !in) {
        error = std::string("cannot read the job file ") + file;
        return false;
    }
    job.assign(std::istreambuf_iterator<char>(from), std::istreambuf_iterator<char>());
    if (from.bad()) {
        error = "reading the job failed";
        return false;
    }
    return true;
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

    // The title finds the state of this job sent again under another number
    // after a print server lost it in a power cut (the launcher's titles are
    // its own per run and station).
    JobState state(JobState::directory(), std::atoi(argv[1]), argv[3], job);
    JobState::sweep(JobState::directory(), state.jobId());
    if (!state.load(error))
        say("WARNING: " + error + "; the whole job is sent");
    // Kept before anything is sent: a run that dies leaves the next one a
    // number of its own, so no answer meant for this one confirms its pieces;
    // a state taken over from the job's earlier number counts on too, so the
    // printer's answers to that job's last run are never taken for this one's.
    ++state.attempt;
    if (!state.save(error))
        say("WARNING: " + error);
    if (state.confirmed > 0 && state.confirmed < all.size())
        say("INFO: the printer confirmed " + std::to_string(state.confirmed) + " of " + std::to_string(all.size()) +
            " receipts before; sending the rest");
    const PrinterMemory memory(JobState::directory(), uriString);

    Reasons reasons;
    milliseconds wait{500};
    std::string toldAway;
    while (state.confirmed < all.size()) {
        const int fd = connectTo(*uri, error);
        if (g_cancelled) {
            if (fd >= 0)
                ::close(fd);
            reasons.clear();
            return CUPS_BACKEND_OK;
        }
        if (fd < 0) {
            // Switched off, restarting, unplugged or misnamed: the queue says
            // which, and the job waits for the printer as long as it takes,
            // asking less and less often.
            reasons.show({"offline-report"});
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
        if (outcome == Outcome::Cancelled) {
            reasons.clear();
            return CUPS_BACKEND_OK;
        }
        if (outcome == Outcome::Lost) {
            say("INFO: Lost the receipt printer (" + why + "); " + std::to_string(state.confirmed) + " of " +
                std::to_string(all.size()) + " receipts confirmed, the job is retried.");
            reasons.clear();
            if (!state.save(error))
                say("WARNING: " + error);
            // A printer that resets every connection is tried less and less often.
            pause(g_timing.retry * (1 << std::min(state.attempt - 1, 6u)));
            return CUPS_BACKEND_RETRY_CURRENT;
        }
    }
    reasons.clear();
    state.remove();
    say("INFO: Ready to print.");
    return CUPS_BACKEND_OK;
}
