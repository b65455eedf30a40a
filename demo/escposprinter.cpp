// A network receipt printer on this machine, for the demo and the tests: it
// listens as an ESC/POS printer does on its raw port, keeps what it prints,
// and answers as one: real-time status requests (DLE EOT n) at once, a
// process-ID request (GS ( H, function 48) once everything before it is on
// paper. It can be told to misbehave as real printers do.
//
//   kv_escposprinter DIR
//
// It listens on a free port of 127.0.0.1, written to DIR/port once it does.
// What one connection printed lands in DIR/job-NNNNNN.bin when the connection
// ends (numbered on, renamed into place). Orders arrive as lines on the Unix
// socket DIR/control; each is answered "ok" or "error: ...":
//   restart-after N   after N more bytes, restart: it reads no more, goes on
//                     printing for a tenth of a second, then resets the
//                     connection; what was not yet printed is lost, but for
//                     the receipt being printed, which makes it to paper,
//                     and no connection is taken for off-ms (500 ms unless
//                     told): a printer switched off and on again
//   off-ms MS         how long the next restart keeps the printer away
//   reset-accepts N   reset the next N connections as they are accepted
//   print-ms MS       each receipt takes MS to print (late answers)
//   paper-end 1|0     out of paper (nothing prints, requests wait) / paper in
//   status            "ok connections=N jobs=N"
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
#include <vector>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

const std::string kCut("\x1D\x56\x42\x00", 4);
const std::string kProcessId("\x1D\x28\x48\x06\x00\x30\x30", 7);

struct Settings {
    long restartAfter = -1; // bytes still to take before a restart; -1: none
    int resetAccepts = 0;
    milliseconds printTime{0};
    bool paperEnd = false;
    milliseconds offTime{500};
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

// One connection: what came in, parsed into what prints and what asks.
class Connection {
public:
    explicit Connection(int fd) : fd(fd) {}

    // Takes bytes from the host. Real-time requests are answered at once;
    // the rest waits its turn to print.
    void take(const char *data, std::size_t size, const Settings &s)
    {
        m_in.append(data, size);
        std::size_t i = 0;
        while (i < m_in.size()) {
            const std::size_t left = m_in.size() - i;
            if (m_in[i] == 0x10 && (left < 2 || m_in[i + 1] == 0x04)) { // DLE EOT n
                if (left < 3)
                    break; // the rest of it is still on its way
                m_out += static_cast<char>(statusByte(m_in[i + 2], s));
                i += 3;
                continue;
            }
            const std::size_t k = std::min(left, kProcessId.size());
            if (m_in[i] == 0x1D && m_in.compare(i, k, kProcessId, 0, k) == 0) {
                if (left < kProcessId.size() + 4)
                    break;
                m_queue.push_back(Item{std::string(), m_in.substr(i + kProcessId.size(), 4)});
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

    // The host is done: a request cut short prints as the text it is.
    void end()
    {
        if (!m_in.empty())
            addText(m_in);
        m_in.clear();
    }

    // Prints what is due by `now`; the time of the next step, if any.
    std::optional<Clock::time_point> work(Clock::time_point now, const Settings &s)
    {
        while (!m_queue.empty() && !s.paperEnd) {
            Item &item = m_queue.front();
            if (item.id.empty()) {
                if (!m_printing) {
                    m_printing = true;
                    m_doneAt = now + (item.text.find(kCut) != std::string::npos ? s.printTime : milliseconds(0));
                }
                if (now < m_doneAt)
                    return m_doneAt;
                paper += item.text;
                m_printing = false;
            } else {
                m_out += std::string("\x37\x22", 2) + item.id + std::string(1, '\0');
            }
            m_queue.pop_front();
        }
        return std::nullopt;
    }

    // A restart: what is being printed makes it to paper, nothing else does.
    void restart()
    {
        if (m_printing && !m_queue.empty())
            paper += m_queue.front().text;
        m_queue.clear();
        m_out.clear();
    }

    std::string &pendingOutput() { return m_out; }

    int fd;
    std::string paper;

private:
    struct Item {
        std::string text; // to print, or
        std::string id;   // a process ID to answer once what precedes is printed
    };

    void addText(const std::string &text)
    {
        if (!m_queue.empty() && m_queue.back().id.empty() && !(m_printing && m_queue.size() == 1))
            m_queue.back().text += text;
        else
            m_queue.push_back(Item{text, {}});
    }

    static unsigned char statusByte(char request, const Settings &s)
    {
        unsigned char b = 0x12; // the fixed bits of every answer
        switch (request) {
        case 1: return b | (s.paperEnd ? 0x08 : 0);
        case 2: return b | (s.paperEnd ? 0x20 : 0);
        case 4: return b | (s.paperEnd ? 0x6C : 0);
        default: return b;
        }
    }

    std::string m_in;
    std::deque<Item> m_queue;
    std::string m_out;
    bool m_printing = false;
    Clock::time_point m_doneAt{};
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
            if (m_listen < 0 && now >= m_reopenAt)
                m_listen = listenTcp(m_port);
            if (m_restartAt && now >= *m_restartAt)
                restart();
            std::vector<pollfd> fds;
            fds.push_back({m_control, POLLIN, 0});
            fds.push_back({m_listen, static_cast<short>(m_conn ? 0 : POLLIN), 0});
            for (int c : m_clients)
                fds.push_back({c, POLLIN, 0});
            std::optional<Clock::time_point> next;
            if (m_conn) {
                next = m_conn->work(now, m_settings);
                const short in = m_restartAt ? 0 : POLLIN;
                fds.push_back({m_conn->fd, static_cast<short>(in | (m_conn->pendingOutput().empty() ? 0 : POLLOUT)), 0});
            }
            int timeout = 100;
            if (next)
                timeout = static_cast<int>(std::clamp<long>(
                    std::chrono::duration_cast<milliseconds>(*next - now).count() + 1, 0, 100));
            if (::poll(fds.data(), fds.size(), timeout) < 0)
                continue;
            // What was polled first; what arrives now waits for the next round.
            const std::size_t clients = m_clients.size();
            const bool polledConnection = m_conn != nullptr;
            for (std::size_t i = 0; i < clients; ++i)
                if (fds[2 + i].revents & (POLLIN | POLLHUP))
                    control(m_clients[i]);
            std::erase(m_clients, -1);
            if (polledConnection && m_conn && !m_restartAt && (fds.back().revents & (POLLIN | POLLHUP | POLLERR)))
                receive(buf);
            if (fds[0].revents & POLLIN)
                m_clients.push_back(::accept4(m_control, nullptr, nullptr, SOCK_CLOEXEC));
            if (!polledConnection && m_listen >= 0 && (fds[1].revents & POLLIN))
                accept();
            if (m_conn && !m_conn->pendingOutput().empty()) {
                std::string &out = m_conn->pendingOutput();
                const ssize_t n = ::send(m_conn->fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    out.erase(0, static_cast<std::size_t>(n));
            }
        }
        if (m_conn)
            endConnection(false);
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
        if (m_settings.resetAccepts > 0) {
            --m_settings.resetAccepts;
            resetAndClose(fd);
            return;
        }
        m_conn = std::make_unique<Connection>(fd);
    }

    void receive(std::vector<char> &buf)
    {
        ssize_t n = ::recv(m_conn->fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            // The host is done: what came in prints, as on a real printer.
            m_conn->end();
            m_conn->work(Clock::now() + std::chrono::hours(1), m_settings);
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
        m_conn->take(buf.data(), static_cast<std::size_t>(n), m_settings);
        m_conn->work(Clock::now(), m_settings);
        if (restartNow) {
            m_settings.restartAfter = -1;
            m_restartAt = Clock::now() + milliseconds(100);
        }
    }

    void restart()
    {
        m_restartAt.reset();
        if (m_conn) {
            m_conn->restart();
            endConnection(true);
        }
        if (m_listen >= 0)
            ::close(m_listen);
        m_listen = -1;
        m_reopenAt = Clock::now() + m_settings.offTime;
        m_settings.offTime = milliseconds(500);
    }

    void endConnection(bool reset)
    {
        if (!m_conn->paper.empty())
            writeFileAtomically(jobFile(++m_jobs), m_conn->paper);
        if (reset)
            resetAndClose(m_conn->fd);
        else
            ::close(m_conn->fd);
        m_conn.reset();
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
            return "ok connections=" + std::to_string(m_connections) + " jobs=" + std::to_string(m_jobs);
        if (got != 2 || value < 0)
            return "error: not an order with a value: " + line;
        if (w == "restart-after")
            m_settings.restartAfter = value;
        else if (w == "reset-accepts")
            m_settings.resetAccepts = static_cast<int>(value);
        else if (w == "print-ms")
            m_settings.printTime = milliseconds(value);
        else if (w == "off-ms")
            m_settings.offTime = milliseconds(value);
        else if (w == "paper-end")
            m_settings.paperEnd = value != 0;
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
    Settings m_settings;
    Clock::time_point m_reopenAt{};
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
