// Opening a connection to a server that logs the driver in and then freezes
// gives up once the login timeout and the statement deadline have passed.
#include "config/odbc.h"
#include "config/vbDatabase.h"
#include "dbtestutil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

namespace {

// Accepts a login, then reads what the driver sends and never answers; a
// process of its own, so that its sockets do not look like the driver's.
class FrozenAfterLogin {
public:
    FrozenAfterLogin()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int report[2];
        if (::bind(listener, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(listener, 4) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0 || ::pipe2(report, O_CLOEXEC) != 0)
            throw std::runtime_error("cannot listen");
        m_port = ntohs(a.sin_port);
        m_pid = ::fork();
        if (m_pid == 0) {
            serve(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC), report[1]);
            ::_exit(0);
        }
        ::close(listener);
        ::close(report[1]);
        m_report = report[0];
    }
    ~FrozenAfterLogin()
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        ::close(m_report);
    }
    int port() const { return m_port; }
    // The driver sent something after it was logged in.
    bool driverWentOn() const
    {
        pollfd p{m_report, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }

private:
    static bool readAll(int fd, void *buf, std::size_t n)
    {
        for (auto *p = static_cast<char *>(buf); n > 0;) {
            const ssize_t got = ::read(fd, p, n);
            if (got <= 0)
                return false;
            p += got;
            n -= std::size_t(got);
        }
        return true;
    }
    static std::string word(std::uint32_t v)
    {
        v = htonl(v);
        return std::string(reinterpret_cast<const char *>(&v), 4);
    }
    static std::string message(char type, const std::string &body)
    {
        return type + word(std::uint32_t(body.size() + 4)) + body;
    }
    static void serve(int client, int report)
    {
        for (;;) { // SSL and GSS requests are refused until the startup packet comes
            std::uint32_t len = 0, code = 0;
            if (!readAll(client, &len, 4) || !readAll(client, &code, 4))
                return;
            std::string rest(ntohl(len) - 8, '\0');
            if (!readAll(client, rest.data(), rest.size()))
                return;
            if (ntohl(code) != 80877103 && ntohl(code) != 80877104)
                break;
            if (::write(client, "N", 1) != 1)
                return;
        }
        // Logged in, the parameters the driver asks about, a key, ready.
        std::string reply = message('R', word(0));
        for (const auto &[name, value] : {std::pair{"server_version", "15.0"}, {"client_encoding", "UTF8"},
                                          {"standard_conforming_strings", "on"}, {"integer_datetimes", "on"}})
            reply += message('S', std::string(name) + '\0' + value + '\0');
        reply += message('K', word(4242) + word(1)) + message('Z', "I");
        char sink[512];
        if (::write(client, reply.data(), reply.size()) == ssize_t(reply.size()) &&
            ::read(client, sink, sizeof sink) > 0 && ::write(report, "q", 1) == 1)
            ::pause();
    }

    pid_t m_pid = -1;
    int m_port = 0;
    int m_report = -1;
};

TEST(OdbcOpen, AServerFrozenAfterTheLoginIsGivenUpOnWithinTheBound)
{
    FrozenAfterLogin server;
    dbtest::EnvOverride port("PGPORT", std::to_string(server.port()));
    kv::odbc::Connection c;
    c.setStatementDeadlineMs(1000);
    const auto t0 = std::chrono::steady_clock::now();
    try {
        c.open(kv::database::buildConnectionText("127.0.0.1", "kvtest", "kvtill", "secret"));
        ADD_FAILURE() << "opened on a server that never answered the driver";
    } catch (const kv::odbc::Error &e) {
        EXPECT_EQ(e.number(), kv::odbc::kTimeoutError) << e.what();
    }
    const double elapsed = dbtest::secondsSince(t0);
    EXPECT_TRUE(server.driverWentOn()) << "the driver never got past the login";
    EXPECT_LE(elapsed, kv::odbc::kLoginTimeoutSeconds + 1.0 + 1.0);
    EXPECT_FALSE(c.isOpen());
}

} // namespace
