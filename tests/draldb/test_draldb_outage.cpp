// The client library while the server is stopped, restarted or frozen: the
// caller is never held longer than the library's deadlines, and listening
// resumes once the server is back.
#include "draldbtest.h"

#include <string>

using namespace draldbtest;
using testsupport::TempAppDir;

namespace {

// Bounds on one call. The library's own deadlines are 4 s to connect and
// 5 s + 1 s for a statement; a check must not wait at all.
constexpr milliseconds kPromptCall{500};
constexpr milliseconds kConnectBound{7'000};
constexpr milliseconds kStatementBound{9'000};

class ServerBack {
public:
    ~ServerBack()
    {
        if (m_stopped)
            testenv::pgctl("start");
    }
    void stop()
    {
        testenv::pgctl("stop");
        m_stopped = true;
    }
    void start()
    {
        testenv::pgctl("start");
        m_stopped = false;
    }

private:
    bool m_stopped = false;
};

// Checks until channel arrives, sending it again and again, since a NOTIFY
// sent before the LISTEN is renewed is lost. Records the slowest check.
bool arrivesAgain(int32_t connection, const std::string &channel, milliseconds &slowest)
{
    auto lastSent = SteadyClock::now() - milliseconds(1'000);
    return pollUntil(
        [&] {
            const auto start = SteadyClock::now();
            const std::string got = take(VB_notify_check(connection));
            slowest = std::max(slowest, elapsedSince(start));
            if (got == channel)
                return true;
            if (elapsedSince(lastSent) > milliseconds(200)) {
                testenv::psql("NOTIFY " + channel);
                lastSent = SteadyClock::now();
            }
            return false;
        },
        milliseconds(20'000));
}

int32_t backendPid(int32_t connection)
{
    return std::stoi(scalar(connection, "SELECT pg_backend_pid() AS v"));
}

} // namespace

TEST(DraldbOutage, SystemInitGivesUpOnAStoppedOrFrozenServerWithinSeconds)
{
    TempAppDir dir;
    dir.write("dralfrontend.conf", clusterConf() + confLine("stationid", "2"));
    {
        ServerBack server;
        server.stop();
        const auto start = SteadyClock::now();
        EXPECT_EQ(system_init(frontEndExe(dir).c_str()), 0);
        EXPECT_LT(elapsedSince(start), kConnectBound);
        EXPECT_EQ(take(config_getvalue("stationid")), "2");
    }
    {
        // The kernel accepts the connection for a frozen postmaster, which
        // then never answers: only a deadline ends the wait.
        Stopped postmaster(testenv::postmasterPid());
        const auto start = SteadyClock::now();
        EXPECT_EQ(system_init(frontEndExe(dir).c_str()), 0);
        EXPECT_LT(elapsedSince(start), kConnectBound);
    }
    EXPECT_NE(system_init(frontEndExe(dir).c_str()), 0);
}

TEST(DraldbOutage, ListeningResumesAfterARestartAndChecksStayPrompt)
{
    TempAppDir dir;
    const int32_t connection = connect(dir);
    ASSERT_NE(connection, 0);
    VB_notify_listen(connection, "shutdown");
    VB_notify_listen(connection, "poscommands");

    StderrCapture capture;
    ServerBack server;
    server.stop();
    milliseconds slowest{0};
    for (int i = 0; i < 40; ++i) {
        const auto start = SteadyClock::now();
        EXPECT_EQ(take(VB_notify_check(connection)), "");
        slowest = std::max(slowest, elapsedSince(start));
        std::this_thread::sleep_for(milliseconds(25));
    }
    int32_t rs = 7;
    const auto start = SteadyClock::now();
    EXPECT_NE(take(VB_new_sql(connection, "SELECT 1", &rs, 0)), "");
    EXPECT_LT(elapsedSince(start), kPromptCall) << "a statement on a lost connection fails at once";
    EXPECT_EQ(rs, 0);

    server.start();
    EXPECT_TRUE(arrivesAgain(connection, "poscommands", slowest));
    EXPECT_TRUE(arrivesAgain(connection, "shutdown", slowest));
    EXPECT_LT(slowest, kPromptCall);
    EXPECT_EQ(scalar(connection, "SELECT 'back' AS v"), "back");
    EXPECT_EQ(capture.text(), "");
}

TEST(DraldbOutage, AStatementOnAFrozenBackendReturnsWithinItsDeadline)
{
    TempAppDir dir;
    const int32_t connection = connect(dir);
    ASSERT_NE(connection, 0);
    VB_notify_listen(connection, "poscommands");
    const int32_t pid = backendPid(connection);
    {
        Stopped backend(pid);
        int32_t rs = 9;
        const auto start = SteadyClock::now();
        EXPECT_NE(take(VB_new_sql(connection, "SELECT 1", &rs, 0)), "");
        EXPECT_LT(elapsedSince(start), kStatementBound);
        EXPECT_EQ(rs, 0);
    }
    // The frozen session was given up; a new one serves and listens again.
    milliseconds slowest{0};
    EXPECT_TRUE(arrivesAgain(connection, "poscommands", slowest));
    EXPECT_LT(slowest, kPromptCall);
    EXPECT_NE(backendPid(connection), pid);
}

TEST(DraldbOutage, AReconnectToAFrozenPostmasterNeverBlocksTheChecks)
{
    TempAppDir dir;
    const int32_t connection = connect(dir);
    ASSERT_NE(connection, 0);
    VB_notify_listen(connection, "test");
    const int32_t pid = backendPid(connection);
    testenv::psql("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");

    milliseconds slowest{0};
    {
        Stopped postmaster(testenv::postmasterPid());
        // Long enough for the lost session to be noticed and a new one to
        // hang in its handshake, and for that attempt to be given up.
        const auto start = SteadyClock::now();
        while (elapsedSince(start) < milliseconds(5'000)) {
            const auto call = SteadyClock::now();
            EXPECT_EQ(take(VB_notify_check(connection)), "");
            slowest = std::max(slowest, elapsedSince(call));
            std::this_thread::sleep_for(milliseconds(50));
        }
    }
    EXPECT_TRUE(arrivesAgain(connection, "test", slowest));
    EXPECT_LT(slowest, kPromptCall);
}
