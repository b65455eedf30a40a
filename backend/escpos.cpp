// The "escpos" CUPS backend: a job for an ESC/POS receipt printer is done
// only when the printer says it has printed it.
//
// A plain socket queue counts a job done once its bytes are in the socket;
// a printer that restarts (a paper jam cleared) or resets the connection then
// loses every receipt still in its buffer, and nothing notices. Here every
// receipt is followed by a process-ID request, which the printer answers once
// the receipt is on paper. What the printer confirmed is kept on disk per job,
// so that a retry sends only the receipts it has not confirmed.
//
//   DEVICE_URI escpos://HOST[:PORT][?confirm=process-id|status|none]
//              escpos:/dev/usb/lpN[?confirm=...]
//   escpos job-id user title copies options [file]
#include "escposlink.h"
#include "jobstate.h"

#include <cups/backend.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

// How long a printer that is online may go without taking data or confirming
// a receipt (a long receipt with a logo prints in a few seconds), and how long
// it may leave a real-time status request unanswered (it answers at once).
constexpr milliseconds kProgressBound{30000};
constexpr milliseconds kStatusBound{5000};
// While answers are due, the printer is asked for its state this often, so
// the queue shows why nothing prints.
constexpr milliseconds kStatusEvery{1000};
constexpr milliseconds kConnectBound{5000};

void say(const std::string &line) { std::cerr << line << std::endl; }

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

int connectTo(const DeviceUri &uri, std::string &error)
{
    if (!uri.device.empty()) {
        const int fd = ::open(uri.device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            error = uri.device + ": " + std::strerror(errno);
        return fd;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string port = std::to_string(uri.port);
    if (const int rc = ::getaddrinfo(uri.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = uri.host + ": " + ::gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc < 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            rc = ::poll(&p, 1, static_cast<int>(kConnectBound.count()));
            int soError = rc == 0 ? ETIMEDOUT : 0;
            socklen_t len = sizeof soError;
            if (rc > 0)
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
            errno = soError;
            rc = soError == 0 ? 0 : -1;
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
        std::this_thread::sleep_for(std::min<Clock::duration>(milliseconds(100), until - Clock::now()));
}

enum class Outcome { Done, Lost, Cancelled };

// One connection's worth of the job: sends what the printer has not confirmed
// and reads its answers until it has confirmed all, or the link is lost.
class Session {
public:
    Session(int fd, const std::vector<std::string> &pieces, JobState &state, Confirm confirm, Reasons &reasons)
        : m_fd(fd), m_pieces(pieces), m_state(state), m_confirm(confirm), m_reasons(reasons)
    {
        for (std::size_t i = state.confirmed; i < pieces.size(); ++i) {
            m_out += pieces[i];
            if (confirm == Confirm::ProcessId) {
                m_out += processIdRequest(state.attempt, i);
            } else if (confirm == Confirm::Status) {
                m_out.append(kStatusRequests, 3);
                m_expected.push_back(Expect{0, i});
            }
        }
    }

    Outcome run(std::string &why)
    {
        auto lastProgress = Clock::now();
        auto lastStatus = Clock::now();
        Clock::time_point pollSent{};
        bool polling = false;
        PrinterStatus status, polled;
        while (m_state.confirmed < m_pieces.size()) {
            if (g_cancelled)
                return Outcome::Cancelled;
            const auto now = Clock::now();
            const bool allSent = m_written == m_out.size();
            if (m_confirm == Confirm::None && allSent)
                return drain(why);
            if (polling && now - pollSent > kStatusBound) {
                why = "the printer did not answer a status request within " +
                      std::to_string(kStatusBound.count() / 1000) + " s";
                return Outcome::Lost;
            }
            if (!status.stopped() && now - lastProgress > kProgressBound) {
                why = "the printer printed nothing for " + std::to_string(kProgressBound.count() / 1000) + " s";
                return Outcome::Lost;
            }
            // Status requests go out only between whole commands: after a
            // receipt's request, never inside a receipt still being written.
            if (allSent && !polling && now - std::max(lastProgress, lastStatus) >= kStatusEvery &&
                m_confirm != Confirm::None) {
                m_out.append(kStatusRequests, kStatusRequestBytes);
                for (int n : {1, 2, 4})
                    m_expected.push_back(Expect{n, 0});
                pollSent = now;
                polling = true;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (m_written < m_out.size())
                p.events |= POLLOUT;
            const int rc = ::poll(&p, 1, 100);
            if (rc < 0 && errno != EINTR) {
                why = std::string("poll: ") + std::strerror(errno);
                return Outcome::Lost;
            }
            if (rc <= 0)
                continue;
            if (p.revents & POLLOUT) {
                const ssize_t n = ::write(m_fd, m_out.data() + m_written, m_out.size() - m_written);
                if (n > 0) {
                    m_written += static_cast<std::size_t>(n);
                    lastProgress = Clock::now();
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    why = std::string("sending: ") + std::strerror(errno);
                    return Outcome::Lost;
                }
            }
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
                if (a->kind == AnswerReader::Answer::ProcessId) {
                    if (confirmUpTo(*a))
                        lastProgress = Clock::now();
                } else if (a->kind == AnswerReader::Answer::Status && !m_expected.empty()) {
                    const Expect e = m_expected.front();
                    m_expected.pop_front();
                    if (e.request == 0) {
                        confirmPiece(e.piece);
                        lastProgress = Clock::now();
                        continue;
                    }
                    applyStatus(polled, e.request, a->status);
                    if (e.request == 4) { // the last of a poll: the whole picture
                        status = polled;
                        polled = PrinterStatus{};
                        polling = false;
                        lastStatus = Clock::now();
                        m_reasons.show(stateReasons(status));
                        if (status.stopped()) {
                            lastProgress = Clock::now();
                            if (describe(status) != m_told)
                                say("INFO: " + (m_told = describe(status)));
                        } else if (!m_told.empty()) {
                            say("INFO: Printing.");
                            m_told.clear();
                        }
                    }
                }
            }
        }
        return Outcome::Done;
    }

private:
    struct Expect {
        int request;       // 1, 2, 4: a status poll's part; 0: confirms `piece`
        std::size_t piece;
    };

    bool confirmUpTo(const AnswerReader::Answer &a)
    {
        // Pieces print in order, so an answer for piece k confirms all before it.
        for (std::size_t k = m_state.confirmed; k < m_pieces.size(); ++k) {
            if (processIdOf(m_state.attempt, k) == a.id) {
                confirmPiece(k);
                return true;
            }
        }
        return false;
    }

    void confirmPiece(std::size_t k)
    {
        if (k < m_state.confirmed)
            return;
        m_state.confirmed = k + 1;
        std::string error;
        if (!m_state.save(error))
            say("WARNING: " + error);
        say("DEBUG: receipt " + std::to_string(k + 1) + " of " + std::to_string(m_pieces.size()) + " confirmed");
    }

    // Without confirmation: the job is done once the printer has read it all,
    // which it shows by closing its side (or by staying quiet a moment).
    Outcome drain(std::string &why)
    {
        ::shutdown(m_fd, SHUT_WR);
        const auto until = Clock::now() + milliseconds(2000);
        char buf[256];
        while (Clock::now() < until && !g_cancelled) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0 && ::read(m_fd, buf, sizeof buf) <= 0)
                break;
        }
        (void)why;
        m_state.confirmed = m_pieces.size();
        return Outcome::Done;
    }

    int m_fd;
    const std::vector<std::string> &m_pieces;
    JobState &m_state;
    Confirm m_confirm;
    Reasons &m_reasons;
    std::string m_out;
    std::size_t m_written = 0;
    std::deque<Expect> m_expected;
    AnswerReader m_answers;
    std::string m_told;
};

bool readJob(const char *file, std::string &job, std::string &error)
{
    std::ifstream in;
    if (file)
        in.open(file, std::ios::binary);
    std::istream &from = file ? static_cast<std::istream &>(in) : std::cin;
    if (file && !in) {
        error = std::string(file) + ": " + std::strerror(errno);
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
    // back; this run must not print on beside that one.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);

    const char *uriText = std::getenv("DEVICE_URI");
    std::string error;
    const auto uri = parseDeviceUri(uriText ? uriText : argv[0], error);
    if (!uri) {
        say("ERROR: " + error);
        return CUPS_BACKEND_STOP;
    }
    std::string job;
    if (!readJob(argc == 7 ? argv[6] : nullptr, job, error)) {
        say("ERROR: " + error);
        return CUPS_BACKEND_FAILED;
    }
    const auto pieces = splitReceipts(job);
    const int copies = std::max(1, std::atoi(argv[4]));
    std::vector<std::string> all;
    for (int c = 0; c < copies; ++c)
        all.insert(all.end(), pieces.begin(), pieces.end());

    JobState state(JobState::directory(), std::atoi(argv[1]), job);
    JobState::sweep(JobState::directory(), state.jobId());
    if (!state.load(error))
        say("WARNING: " + error + "; the whole job is sent");
    ++state.attempt;
    if (state.confirmed > 0 && state.confirmed < all.size())
        say("INFO: the printer confirmed " + std::to_string(state.confirmed) + " of " + std::to_string(all.size()) +
            " receipts before; sending the rest");

    Reasons reasons;
    milliseconds wait{500};
    bool offlineShown = false;
    while (state.confirmed < all.size()) {
        const int fd = connectTo(*uri, error);
        if (g_cancelled) {
            if (fd >= 0)
                ::close(fd);
            reasons.clear();
            return CUPS_BACKEND_OK;
        }
        if (fd < 0) {
            // Switched off, or restarting: wait for it, as long as it takes.
            if (!offlineShown) {
                reasons.show({"offline-report"});
                say("INFO: The receipt printer does not answer (" + error + "); trying again.");
                offlineShown = true;
            }
            pause(wait);
            wait = std::min(wait * 2, milliseconds(16000));
            continue;
        }
        if (offlineShown) {
            reasons.clear();
            offlineShown = false;
        }
        say("INFO: Printing.");
        Session session(fd, all, state, uri->confirm, reasons);
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
            // The first retry comes at once; a printer that resets every
            // connection is tried less and less often.
            pause(milliseconds(125 << std::min(state.attempt, 6u)));
            return CUPS_BACKEND_RETRY_CURRENT;
        }
    }
    reasons.clear();
    state.remove();
    say("INFO: Ready to print.");
    return CUPS_BACKEND_OK;
}
