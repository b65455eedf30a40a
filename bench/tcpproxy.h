// For the benchmarks: a TCP proxy in front of the test cluster that can turn
// into a server that never answers the handshake, or answers it and then
// nothing more. It listens on 127.0.0.2 at the cluster's port (db_host
// 127.0.0.2 reaches the cluster through it, PGPORT unchanged) and reads the
// server's messages, so it turns client encryption off (PGSSLMODE,
// PGGSSENCMODE).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace draldbtest {

class TcpProxy {
public:
    enum class Mode {
        Forward,
        Silent,             // accepts and never says a word
        MuteAfterHandshake, // forwards up to the first ReadyForQuery, then nothing
    };

    static constexpr const char *kHost = "127.0.0.2";

    // listenPort 0: a port the kernel picks (see port()), for a test that
    // must not meet the PgBouncer fixture, which holds the cluster's port on
    // kHost; the default is the cluster's port, as the benchmarks want. A
    // server on a Unix socket (the print server's) is reached by its path.
    explicit TcpProxy(int upstreamPort, int listenPort = -1, std::string upstreamSocket = {})
        : m_upstreamPort(upstreamPort), m_upstreamSocket(std::move(upstreamSocket))
    {
        ::setenv("PGSSLMODE", "disable", 1);
        ::setenv("PGGSSENCMODE", "disable", 1);
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr = address(kHost, listenPort < 0 ? upstreamPort : listenPort);
        socklen_t length = sizeof addr;
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(m_listen, 16) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &length) != 0 ||
            ::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::runtime_error(std::string("proxy: cannot listen: ") + std::strerror(errno));
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { loop(); });
    }

    ~TcpProxy()
    {
        m_stop = true;
        wake();
        m_thread.join();
        for (Pair &p : m_pairs)
            p.close();
        ::close(m_listen);
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }

    // The port it listens on.
    int port() const { return m_port; }

    // For a proxy on a port of its own: this process's connections (libpq and
    // the driver read PGPORT, the tests' settings KV_DB_HOST) go through it
    // until the returned guard goes.
    std::shared_ptr<void> routeEnvironment() const
    {
        const auto saved = std::make_shared<std::vector<std::pair<std::string, std::optional<std::string>>>>();
        for (const char *name : {"KV_DB_HOST", "PGPORT"}) {
            const char *value = std::getenv(name);
            saved->emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        ::setenv("KV_DB_HOST", kHost, 1);
        ::setenv("PGPORT", std::to_string(m_port).c_str(), 1);
        return std::shared_ptr<void>(nullptr, [saved](void *) {
            for (const auto &[name, value] : *saved) {
                if (value)
                    ::setenv(name.c_str(), value->c_str(), 1);
                else
                    ::unsetenv(name.c_str());
            }
        });
    }

    // For connections accepted from now on.
    void setMode(Mode mode) { m_mode = mode; }

    // A network that stops carrying anything, for connections old and new,
    // until it carries again: nothing is read, so nothing is lost either.
    void stall(bool stalled)
    {
        m_stalled = stalled;
        wake();
    }

    // A slow link: everything the server sends reaches the client `ms`
    // later (0: at once again).
    void delay(int ms)
    {
        m_delayMs = ms;
        wake();
    }

    // The next time a client sends something that holds `marker`, it goes
    // on to the server and then the link is cut, before any answer: the
    // server does what was asked, the client never hears of it.
    void cutAfterClientSends(std::string marker)
    {
        std::lock_guard guard(m_markerLock);
        m_cutMarker = std::move(marker);
    }

    // Closes every connection: the client sees its session lost.
    void dropAll()
    {
        m_drop = true;
        wake();
        while (m_drop)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

private:
    struct Pair {
        int client = -1;
        int upstream = -1;
        Mode mode = Mode::Forward;
        bool muted = false;
        std::string fromServer; // not yet forwarded while watching for ReadyForQuery
        // Server chunks held back by a delay, with when they are due.
        std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> delayed;

        void close()
        {
            if (client >= 0)
                ::close(client);
            if (upstream >= 0)
                ::close(upstream);
            client = upstream = -1;
        }
    };

    static sockaddr_in address(const char *host, int port)
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        ::inet_pton(AF_INET, host, &addr.sin_addr);
        return addr;
    }

    void wake()
    {
        const char c = 1;
        [[maybe_unused]] const auto n = ::write(m_wake[1], &c, 1);
    }

    static bool sendAll(int fd, const char *data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            data += n;
            size -= std::size_t(n);
        }
        return true;
    }

    void accept()
    {
        const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return;
        Pair p;
        p.client = client;
        p.mode = m_mode;
        if (p.mode != Mode::Silent) {
            const bool local = !m_upstreamSocket.empty();
            sockaddr_in addr = address("127.0.0.1", m_upstreamPort);
            sockaddr_un path{};
            path.sun_family = AF_UNIX;
            std::strncpy(path.sun_path, m_upstreamSocket.c_str(), sizeof path.sun_path - 1);
            p.upstream = ::socket(local ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int connected = local ? ::connect(p.upstream, reinterpret_cast<sockaddr *>(&path), sizeof path)
                                        : ::connect(p.upstream, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
            if (p.upstream < 0 || connected != 0) {
                p.close();
                return;
            }
        }
        m_pairs.push_back(std::move(p));
    }

    // Passes whole server messages on until a ReadyForQuery ('Z') has gone.
    bool forwardFromServer(Pair &p, const char *data, std::size_t size)
    {
        if (p.mode != Mode::MuteAfterHandshake)
            return sendAll(p.client, data, size);
        if (p.muted)
            return true;
        p.fromServer.append(data, size);
        while (!p.muted && p.fromServer.size() >= 5) {
            uint32_t length = 0;
            std::memcpy(&length, p.fromServer.data() + 1, 4);
            const std::size_t whole = 1 + std::size_t(ntohl(length));
            if (p.fromServer.size() < whole)
                break;
            if (!sendAll(p.client, p.fromServer.data(), whole))
                return false;
            p.muted = p.fromServer[0] == 'Z';
            p.fromServer.erase(0, whole);
        }
        return true;
    }

    void loop()
    {
        char buf[65536];
        while (!m_stop) {
            if (m_drop) {
                for (Pair &p : m_pairs)
                    p.close();
                m_pairs.clear();
                m_drop = false;
            }
            if (m_stalled) {
                pollfd w{m_wake[0], POLLIN, 0};
                if (::poll(&w, 1, 1000) > 0)
                    while (::read(m_wake[0], buf, sizeof buf) > 0) {
                    }
                continue;
            }
            // Held-back chunks that are due go on; the next one due bounds the wait.
            int waitMs = 1000;
            const auto now = std::chrono::steady_clock::now();
            for (Pair &p : m_pairs) {
                while (!p.delayed.empty() && p.delayed.front().first <= now) {
                    if (!forwardFromServer(p, p.delayed.front().second.data(), p.delayed.front().second.size()))
                        p.close();
                    p.delayed.pop_front();
                }
                if (!p.delayed.empty())
                    waitMs = std::min<int>(waitMs, int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                           p.delayed.front().first - now)
                                                           .count()) +
                                                       1);
            }
            std::erase_if(m_pairs, [](const Pair &p) { return p.client < 0; });
            std::vector<pollfd> fds{{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            for (const Pair &p : m_pairs) {
                fds.push_back({p.client, POLLIN, 0});
                fds.push_back({p.upstream, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), waitMs) < 0)
                continue;
            if (fds[1].revents)
                while (::read(m_wake[0], buf, sizeof buf) > 0) {
                }
            for (std::size_t i = 0; i < m_pairs.size(); ++i) {
                Pair &p = m_pairs[i];
                const pollfd &c = fds[2 + 2 * i];
                const pollfd &u = fds[3 + 2 * i];
                bool ok = true;
                if (c.revents) {
                    const ssize_t n = ::read(p.client, buf, sizeof buf);
                    ok = n > 0 && (p.upstream < 0 || sendAll(p.upstream, buf, std::size_t(n)));
                    std::lock_guard guard(m_markerLock);
                    if (ok && !m_cutMarker.empty() &&
                        std::string_view(buf, std::size_t(n)).find(m_cutMarker) != std::string_view::npos) {
                        m_cutMarker.clear();
                        ok = false;
                    }
                }
                if (ok && u.revents) {
                    const ssize_t n = ::read(p.upstream, buf, sizeof buf);
                    const int delayMs = m_delayMs;
                    if (n > 0 && (delayMs > 0 || !p.delayed.empty()))
                        p.delayed.emplace_back(std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs),
                                               std::string(buf, std::size_t(n)));
                    else
                        ok = n > 0 && forwardFromServer(p, buf, std::size_t(n));
                }
                if (!ok)
                    p.close();
            }
            std::erase_if(m_pairs, [](const Pair &p) { return p.client < 0; });
            if (fds[0].revents)
                accept();
        }
    }

    int m_upstreamPort;
    std::string m_upstreamSocket;
    int m_port = 0;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    std::atomic<Mode> m_mode{Mode::Forward};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_drop{false};
    std::atomic<bool> m_stalled{false};
    std::atomic<int> m_delayMs{0};
    std::mutex m_markerLock;
    std::string m_cutMarker;
    std::vector<Pair> m_pairs;
    std::thread m_thread;
};

} // namespace draldbtest
