// A network receipt printer on this machine, for the demo and the tests: it
// listens as an ESC/POS printer does on its raw port, keeps what it prints,
// and answers as one: real-time status requests (DLE EOT n) at once, a
// process-ID request (GS ( H, function 48) once everything before it is on
// paper, its state unasked once automatic status back (GS a) is on. Its
// receive buffer holds a few KiB and outlives a connection, as a real one
// does. It can be told to misbehave as real printers do.
//
//   kv_escposprinter DIR
//
// It listens on a free port of 127.0.0.1, written to DIR/port once it does.
// What a connection printed lands in DIR/job-NNNNNN.bin once the host is gone
// and the buffer printed (numbered on, renamed into place). Orders arrive as lines on the Unix
// socket DIR/control; each is answered "ok" or "error: ...":
//   restart-after N   after N more bytes, restart: it reads no more, goes on
//                     printing for a tenth of a second, then resets the
//                     connection; what was not yet printed is lost, but for
//                     the receipt being printed, which makes it to paper,
//                     and nothing prints and no connection is taken for
//                     off-ms (500 ms unless told): switched off and on again
//   keep-buffer 1     the next restart keeps the buffer, printed once back
//   off-ms MS         how long the next restart keeps the printer away
//   reset-accepts N   reset the next N connections as they are accepted
//   reset-ms MS       reset every connection accepted within the next MS
//   print-ms MS       each receipt takes MS to print (late answers)
//   paper-end 1|0     out of paper: nothing prints, the buffer fills and
//                     then nothing more is read / paper in
//   cover-open 1|0    the cover is open (as paper-end) / closed
//   ignore-process-id 1|0  take process-ID requests silently, as older models do
//   ignore-asb 1|0    take automatic status back (GS a) silently, as the
//                     oldest models do: they report their state only when asked
//   buffer BYTES      the receive buffer's size (4096 unless told)
//   status            "ok connections=N jobs=N held=BYTES"
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

const std::string kCut("\x1D\x56\x42\x00", 4);
const std::string kProcessId("\x1D\x28\x48\x06\x00\x30\x30", 7);

// What the printer answers, byte for byte as the maker documents them (TM
// series: "Transmit real-time status", DLE EOT n, and "Enable/disable
// Automatic Status Back", GS a), so the backend is checked against the
// documented values, not against its own reading of them.
struct StateBytes {
    unsigned char eot1; // printer status: 0x12 fixed bits, 0x08 offline
    unsigned char eot2; // offline cause: 0x04 cover open, 0x20 stopped by paper end, 0x40 error
    unsigned char eot4; // roll paper sensor: 0x0C near end, 0x60 paper end
    unsigned char asb[4]; // 1: 0x10 fixed, 0x08 offline, 0x20 cover open; 3: 0x0C paper end
};
constexpr StateBytes kReady{0x12, 0x12, 0x12, {0x10, 0x00, 0x00, 0x00}};
constexpr StateBytes kPaperEnd{0x1A, 0x32, 0x72, {0x18, 0x00, 0x0C, 0x00}};
constexpr StateBytes kCoverOpen{0x1A, 0x16, 0x12, {0x38, 0x00, 0x00, 0x00}};

struct Settings {
    long restartAfter = -1; // bytes still to take before a restart; -1: none
    int resetAccepts = 0;
    milliseconds printTime{0};
    bool paperEnd = false;
    bool coverOpen = false;
    bool ignoreProcessIds = false;
    bool ignoreAutoStatus = false;
    bool keepBuffer = false; // the next restart keeps what the buffer holds
    std::size_t buffer = 4096;
    milliseconds offTime{500};

    const StateBytes &state() const { return coverOpen ? kCoverOpen : paperEnd ? kPaperEnd : kReady; }
    bool stopped() const { return coverOpen || paperEnd; }
};

int listenTcp(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0) {
        std::perror("kv_escposprinter: listen");
        std::exit(1);
    }
    return fd;
}

int portOf(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

void resetAndClose(int fd)
{
    const linger l{1, 0}; // an RST, as a printer that restarts sends
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

void writeFileAtomically(const std::string &path, const std::string &bytes)
{
    {
        std::ofstream out(path + ".part", std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::filesystem::rename(path + ".part", path);
}

// The printer's receive buffer, which outlives a connection as it outlives
// a host that goes away: what came in, parsed into what prints and what
// asks, printed in turn.
class Engine {
public:
    // Bytes from connection `conn`. Real-time requests are answered at once
    // into `out`; the rest waits its turn.
    void take(const char *data, std::size_t size, int conn, std::string &out, const Settings &s)
    {
        m_in.append(data, size);
        std::size_t i = 0;
        while (i < m_in.size()) {
            const std::size_t left = m_in.size() - i;
            if (m_in[i] == 0x10 && (left < 2 || m_in[i + 1] == 0x04)) { // DLE EOT n
                if (left < 3)
                    break; // the rest of it is still on its way
                // Answered wherever the bytes stand, inside another command's
                // data too; n = 3 (error cause) none here; n out of 1..4 ignored.
                const StateBytes &b = s.state();
                const char n = m_in[i + 2];
                if (n >= 1 && n <= 4)
                    out += static_cast<char>(n == 1 ? b.eot1 : n == 2 ? b.eot2 : n == 4 ? b.eot4 : kReady.eot1);
                i += 3;
                continue;
            }
            if (m_in[i] == 0x1D && left >= 2 && m_in[i + 1] == 0x61) { // GS a n
                if (left < 3)
                    break;
                if (!s.ignoreAutoStatus)
                    m_queue.push_back(Item{Item::AutoStatus, std::string(1, m_in[i + 2]), conn});
                i += 3;
                continue;
            }
            const std::size_t k = std::min(left, kProcessId.size());
            if (m_in[i] == 0x1D && m_in.compare(i, k, kProcessId, 0, k) == 0) {
                if (left < kProcessId.size() + 4)
                    break;
                if (!s.ignoreProcessIds) // older models take it silently
                    m_queue.push_back(Item{Item::ProcessId, m_in.substr(i + kProcessId.size(), 4), conn});
                i += kProcessId.size() + 4;
                continue;
            }
            // Text up to the next byte that may begin a request.
            std::size_t end = i + 1;
            while (end < m_in.size() && m_in[end] != 0x10 && m_in[end] != 0x1D)
                ++end;
            addText(m_in.substr(i, end - i));
            i = end;
        }
        m_in.erase(0, i);
    }

    // The host is gone: a request cut short prints as the text it is.
    void endOfInput()
    {
        if (!m_in.empty())
            addText(m_in);
        m_in.clear();
    }

    // Prints what is due by `now`, answers into `out` for connection `conn`
    // (answers for another are lost with it); the time of the next step.
    std::optional<Clock::time_point> work(Clock::time_point now, int conn, std::string &out, const Settings &s)
    {
        while (!m_queue.empty() && !s.stopped()) {
            Item &item = m_queue.front();
            if (item.kind == Item::Text) {
                if (!m_printing) {
                    m_printing = true;
                    m_doneAt = now + (item.bytes.find(kCut) != std::string::npos ? s.printTime : milliseconds(0));
                }
                if (now < m_doneAt)
                    return m_doneAt;
                paper += item.bytes;
                m_held -= item.bytes.size();
                m_printing = false;
            } else if (item.kind == Item::ProcessId) {
                if (item.conn == conn)
                    out += std::string("\x37\x22", 2) + item.bytes + std::string(1, '\0');
            } else {
                autoStatus = item.bytes[0] != 0;
                if (autoStatus && item.conn == conn)
                    out += statusBlock(s);
            }
            m_queue.pop_front();
        }
        return std::nullopt;
    }

    // Switched off and on: what is being printed makes it to paper; the rest
    // is lost unless the printer keeps it. Settings go back to their defaults.
    void powerCycle(bool keep)
    {
        if (m_printing && !m_queue.empty()) {
            paper += m_queue.front().bytes;
            m_held -= m_queue.front().bytes.size();
            m_queue.pop_front();
        }
        m_printing = false;
        m_in.clear();
        if (!keep) {
            m_queue.clear();
            m_held = 0;
        }
        autoStatus = false;
    }

    static std::string statusBlock(const Settings &s)
    {
        return std::string(reinterpret_cast<const char *>(s.state().asb), 4);
    }

    std::size_t held() const { return m_held + m_in.size(); }
    bool idle() const { return m_queue.empty() && m_in.empty(); }

    std::string paper; // printed, not yet in a job file
    bool autoStatus = false;

private:
    struct Item {
        enum Kind { Text, ProcessId, AutoStatus } kind;
        std::string bytes; // text to print, a process ID to answer, GS a's n
        int conn = 0;
    };

    // Receipts print one after another: a receipt up to its cut is one item.
    void addText(const std::string &text)
    {
        m_held += text.size();
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t cut = text.find(kCut, at);
            const std::size_t end = cut == std::string::npos ? text.size() : cut + kCut.size();
            const Item *back = m_queue.empty() ? nullptr : &m_queue.back();
            if (back && back->kind == Item::Text && back->bytes.find(kCut) == std::string::npos &&
                !(m_printing && m_queue.size() == 1))
                m_queue.back().bytes += text.substr(at, end - at);
            else
                m_queue.push_back(Item{Item::Text, text.substr(at, end - at), 0});
            at = end;
        }
    }

    std::string m_in;
    std::deque<Item> m_queue;
    std::size_t m_held = 0;
    bool m_printing = false;
    Clock::time_point m_doneAt{};
};

struct Connection {
    int fd;
    int serial;
    std::string out; // answers not yet sent
};

class Printer {
public:
    explicit Printer(std::string dir) : m_dir(std::move(dir))
    {
        m_listen = listenTcp(0);
        m_port = portOf(m_listen);
        m_control = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const std::string path = m_dir + "/control";
        std::filesystem::remove(path);
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (::bind(m_control, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(m_control, 8) != 0) {
            std::perror("kv_escposprinter: control socket");
            std::exit(1);
        }
        while (std::filesystem::exists(jobFile(m_jobs + 1)))
            ++m_jobs;
        writeFileAtomically(m_dir + "/port", std::to_string(m_port) + "\n");
    }

    void run()
    {
        std::vector<char> buf(4096);
        while (!g_stop) {
            const auto now = Clock::now();
            const bool on = now >= m_reopenAt;
            if (m_listen < 0 && on)
                m_listen = listenTcp(m_port);
            if (m_restartAt && now >= *m_restartAt)
                restart();
            std::optional<Clock::time_point> next;
            if (on) {
                std::string dropped;
                next = m_engine.work(now, m_conn ? m_conn->serial : 0, m_conn ? m_conn->out : dropped, m_settings);
            }
            // A job file once the host is gone and all it sent is printed.
            if (!m_conn && m_engine.idle() && !m_engine.paper.empty())
                writeFileAtomically(jobFile(++m_jobs), std::exchange(m_engine.paper, {}));
            std::vector<pollfd> fds;
            fds.push_back({m_control, POLLIN, 0});
            fds.push_back({m_listen, static_cast<short>(m_conn ? 0 : POLLIN), 0});
            for (int c : m_clients)
                fds.push_back({c, POLLIN, 0});
            // A full buffer reads nothing more: what follows, real-time
            // requests too, waits in the network until there is room.
            const bool room = m_engine.held() < m_settings.buffer;
            if (m_conn) {
                const short in = m_restartAt || !room ? 0 : POLLIN;
                fds.push_back({m_conn->fd, static_cast<short>(in | (m_conn->out.empty() ? 0 : POLLOUT)), 0});
            }
            int timeout = 50;
            if (next)
                timeout = static_cast<int>(std::clamp<long>(
                    std::chrono::duration_cast<milliseconds>(*next - now).count() + 1, 0, 50));
            if (::poll(fds.data(), fds.size(), timeout) < 0)
                continue;
            // What was polled first; what arrives now waits for the next round.
            const std::size_t clients = m_clients.size();
            const bool polledConnection = m_conn != nullptr;
            for (std::size_t i = 0; i < clients; ++i)
                if (fds[2 + i].revents & (POLLIN | POLLHUP))
                    control(m_clients[i]);
            std::erase(m_clients, -1);
            if (polledConnection && m_conn && (fds.back().revents & (POLLIN | POLLHUP | POLLERR)) && room)
                receive(buf);
            if (fds[0].revents & POLLIN)
                m_clients.push_back(::accept4(m_control, nullptr, nullptr, SOCK_CLOEXEC));
            if (!polledConnection && m_listen >= 0 && (fds[1].revents & POLLIN))
                accept();
            if (m_conn && !m_conn->out.empty()) {
                const ssize_t n = ::send(m_conn->fd, m_conn->out.data(), m_conn->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    m_conn->out.erase(0, static_cast<std::size_t>(n));
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    m_conn->out.clear(); // the host is gone
            }
        }
        if (m_conn)
            endConnection(false);
        if (!m_engine.paper.empty())
            writeFileAtomically(jobFile(++m_jobs), m_engine.paper);
    }

private:
    std::string jobFile(int n) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "/job-%06d.bin", n);
        return m_dir + name;
    }

    void accept()
    {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        ++m_connections;
        if (m_settings.resetAccepts > 0 || Clock::now() < m_resetUntil) {
            m_settings.resetAccepts = std::max(0, m_settings.resetAccepts - 1);
            resetAndClose(fd);
            return;
        }
        m_conn = std::make_unique<Connection>(Connection{fd, m_connections, {}});
    }

    void receive(std::vector<char> &buf)
    {
        const std::size_t room = m_settings.buffer - std::min(m_settings.buffer, m_engine.held());
        ssize_t n = ::recv(m_conn->fd, buf.data(), std::min(buf.size(), std::max<std::size_t>(room, 1)), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            // The host is done: what came in prints, as on a real printer.
            m_engine.endOfInput();
            endConnection(false);
            return;
        }
        if (n < 0)
            return;
        bool restartNow = false;
        if (m_settings.restartAfter >= 0) {
            if (n >= m_settings.restartAfter) {
                n = m_settings.restartAfter;
                restartNow = true;
            }
            m_settings.restartAfter -= n;
        }
        m_engine.take(buf.data(), static_cast<std::size_t>(n), m_conn->serial, m_conn->out, m_settings);
        if (restartNow) {
            m_settings.restartAfter = -1;
            m_restartAt = Clock::now() + milliseconds(100);
        }
    }

    void restart()
    {
        m_restartAt.reset();
        m_engine.powerCycle(std::exchange(m_settings.keepBuffer, false));
        if (m_conn)
            endConnection(true);
        if (m_listen >= 0)
            ::close(m_listen);
        m_listen = -1;
        m_reopenAt = Clock::now() + m_settings.offTime;
        m_settings.offTime = milliseconds(500);
    }

    void endConnection(bool reset)
    {
        if (reset)
            resetAndClose(m_conn->fd);
        else
            ::close(m_conn->fd);
        m_conn.reset();
    }

    // The printer's state changed: with automatic status back on, it says so
    // unasked, whatever waits in its buffer.
    void stateChanged()
    {
        if (m_engine.autoStatus && m_conn)
            m_conn->out += Engine::statusBlock(m_settings);
    }

    void control(int &fd)
    {
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf - 1);
        if (n <= 0) {
            ::close(fd);
            fd = -1;
            return;
        }
        m_line.append(buf, static_cast<std::size_t>(n));
        for (auto nl = m_line.find('\n'); nl != std::string::npos; nl = m_line.find('\n')) {
            const std::string line = m_line.substr(0, nl);
            m_line.erase(0, nl + 1);
            const std::string reply = order(line) + "\n";
            ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
    }

    std::string order(const std::string &line)
    {
        char word[32] = {};
        long value = 0;
        const int got = std::sscanf(line.c_str(), "%31s %ld", word, &value);
        const std::string w = word;
        if (w == "status" && got == 1)
            return "ok connections=" + std::to_string(m_connections) + " jobs=" + std::to_string(m_jobs) +
                   " held=" + std::to_string(m_engine.held());
        if (got != 2 || value < 0)
            return "error: not an order with a value: " + line;
        if (w == "restart-after")
            m_settings.restartAfter = value;
        else if (w == "reset-accepts")
            m_settings.resetAccepts = static_cast<int>(value);
        else if (w == "reset-ms")
            m_resetUntil = Clock::now() + milliseconds(value);
        else if (w == "print-ms")
            m_settings.printTime = milliseconds(value);
        else if (w == "off-ms")
            m_settings.offTime = milliseconds(value);
        else if (w == "paper-end" || w == "cover-open") {
            (w == "paper-end" ? m_settings.paperEnd : m_settings.coverOpen) = value != 0;
            stateChanged();
        } else if (w == "ignore-process-id")
            m_settings.ignoreProcessIds = value != 0;
        else if (w == "ignore-asb")
            m_settings.ignoreAutoStatus = value != 0;
        else if (w == "keep-buffer")
            m_settings.keepBuffer = value != 0;
        else if (w == "buffer" && value > 0)
            m_settings.buffer = static_cast<std::size_t>(value);
        else
            return "error: unknown order: " + line;
        return "ok";
    }

    std::string m_dir;
    int m_listen = -1;
    int m_port = 0;
    int m_control = -1;
    std::vector<int> m_clients;
    std::string m_line;
    std::unique_ptr<Connection> m_conn;
    Engine m_engine;
    Settings m_settings;
    Clock::time_point m_reopenAt{};
    Clock::time_point m_resetUntil{};
    std::optional<Clock::time_point> m_restartAt;
    int m_jobs = 0;
    int m_connections = 0;
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kv_escposprinter DIR\n");
        return 2;
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    Printer printer(argv[1]);
    printer.run();
    return 0;
}
