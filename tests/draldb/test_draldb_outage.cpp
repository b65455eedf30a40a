// The client library while the server is stopped, restarted or frozen: no call
// outlasts the library's deadlines, and listening resumes once it is back.
#include "draldbtest.h"
#include "tcpproxy.h"

#include <utility>

using namespace draldbtest;
using testsupport::TempAppDir;

namespace {

// Upper bounds per call: the library gives a connect 4 s and a statement
// 5 s plus 1 s for its cancel; a check never waits.
constexpr milliseconds kPromptCall{500};
constexpr milliseconds kConnectBound{7'000};
constexpr milliseconds kStatementBound{9'000};

// Stops the cluster and starts it again at scope end at the latest.
struct ServerStopped {
    ServerStopped() { testenv::pgctl("stop"); }
    ~ServerStopped() { start(); }
    void start()
    {
        if (std::exchange(stopped, false))
            testenv::pgctl("start");
    }
    bool stopped = true;
};

// Checks until channel arrives, sending it again and again: a NOTIFY sent
// before the LISTEN is renewed is lost. Records the slowest check.
bool arrivesAgain(int32_t connection, const std::string &channel, milliseconds &slowest)
{
    auto lastSent = SteadyClock::now() - milliseconds(1'000);
    return pollUntil(
        [&] {
            const auto start = SteadyClock::now();
            const std::string got = take(VB_notify_check(connection));
            slowest = std::max(slowest, elapsedSince(start));
            if (got != channel && elapsedSince(lastSent) > milliseconds(200)) {
                testenv::psql("NOTIFY " + channel);
                lastSent = SteadyClock::now();
            }
            return got == channel;
        },
        milliseconds(20'000));
}

// Checks for a while, all of which find nothing; gives the slowest.
milliseconds checkFor(int32_t connection, milliseconds span)
{
    milliseconds slowest{0};
    const auto start = SteadyClock::now();
    while (elapsedSince(start) < span) {
        const auto call = SteadyClock::now();
        EXPECT_EQ(take(VB_notify_check(connection)), "");
        slowest = std::max(slowest, elapsedSince(call));
        std::this_thread::sleep_for(milliseconds(25));
    }
    return slowest;
}

int backendPid(int32_t connection)
{
    return std::stoi(scalar(connection, "SELECT pg_backend_pid() AS v"));
}

} // namespace

TEST(DraldbOutage, SystemInitGivesUpOnAStoppedOrFrozenServerWithinSeconds)
{
    TempAppDir dir;
    dir.write("dralfrontend.conf", clusterConf() + confLine("stationid", "2"));
    {
        ServerStopped server;
        const auto start = SteadyClock::now();
        EXPECT_EQ(system_init(frontEndExe(dir).c_str()), 0);
        EXPECT_LT(elapsedSince(start), kConnectBound);
        EXPECT_EQ(take(config_getvalue("stationid")), "2");
    }
    {
        // The kernel accepts connections for a frozen postmaster, which then
        // never answers: only a deadline ends the wait.
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
    ServerStopped server;
    milliseconds slowest = checkFor(connection, milliseconds(1'000));
    // A channel first named while the server is away is listened on too.
    EXPECT_EQ(VB_notify_listen(connection, "test"), 0);
    int32_t rs = 7;
    const auto start = SteadyClock::now();
    EXPECT_NE(take(VB_new_sql(connection, "SELECT 1", &rs, 0)), "");
    EXPECT_LT(elapsedSince(start), kPromptCall) << "a statement without a session fails at once";
    EXPECT_EQ(rs, 0);

    server.start();
    EXPECT_TRUE(arrivesAgain(connection, "poscommands", slowest));
    EXPECT_TRUE(arrivesAgain(connection, "shutdown", slowest));
    EXPECT_TRUE(arrivesAgain(connection, "test", slowest));
    EXPECT_LT(slowest, kPromptCall);
    EXPECT_EQ(scalar(connection, "SELECT 'back' AS v"), "back");
    EXPECT_EQ(capture.text(), "") << "the server's farewell is a notice, kept off stderr";
}

TEST(DraldbOutage, AStatementOnAFrozenBackendReturnsWithinItsDeadline)
{
    TempAppDir dir;
    const int32_t connection = connect(dir);
    ASSERT_NE(connection, 0);
    VB_notify_listen(connection, "poscommands");
    const int pid = backendPid(connection);
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

TEST(DraldbOutage, AStatementAnsweredJustAfterItsDeadlineKeepsItsResult)
{
    TempAppDir dir;
    const int32_t connection = connect(dir);
    ASSERT_NE(connection, 0);
    testenv::psql("DELETE FROM poscommands WHERE stationid = 99");
    const int pid = backendPid(connection);
    // Woken after the deadline with the cancel pending, a backend that had not
    // read the statement yet ignores it: the INSERT commits within the grace.
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    std::thread thaw([pid] {
        std::this_thread::sleep_for(milliseconds(5'400));
        ::kill(pid, SIGCONT);
    });
    int32_t rs = 0;
    const std::string error = take(VB_new_sql(
        connection, "INSERT INTO poscommands (stationid, device, command) VALUES (99, 1, 'late') RETURNING id", &rs,
        0));
    thaw.join();
    const std::string committed = testenv::psql("SELECT count(*) FROM poscommands WHERE stationid = 99");
    EXPECT_EQ(committed, "1\n");
    // What the database did is what the caller hears: a committed INSERT
    // reported as failed would be queued again.
    EXPECT_EQ(error, "");
    EXPECT_NE(rs, 0);
    VB_free(&rs);
    testenv::psql("DELETE FROM poscommands WHERE stationid = 99");
}

// A server silent from the handshake on, or after it: checks return at once,
// the attempt or session is given up, and the next one listens again.
TEST(DraldbOutage, AServerThatStopsAnsweringIsGivenUpWhileChecksStayPrompt)
{
    TcpProxy proxy(testenv::database().port);
    TempAppDir dir;
    dir.write("dralfrontend.conf", clusterConf(testenv::database().password.toStdString(), TcpProxy::kHost));
    const int32_t connection = system_init(frontEndExe(dir).c_str());
    ASSERT_NE(connection, 0);
    VB_notify_listen(connection, "poscommands");
    milliseconds slowest{0};
    ASSERT_TRUE(arrivesAgain(connection, "poscommands", slowest));

    const struct {
        const char *what;
        TcpProxy::Mode mode;
    } cases[] = {
        {"silent handshake", TcpProxy::Mode::Silent},
        {"unanswered LISTENs", TcpProxy::Mode::MuteAfterHandshake},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        proxy.setMode(c.mode);
        proxy.dropAll();
        // Long enough for the lost session to be noticed and a new one to
        // get stuck.
        slowest = checkFor(connection, milliseconds(1'500));
        proxy.setMode(TcpProxy::Mode::Forward);
        // Only a reconnect that gives the stuck one up reaches the server.
        EXPECT_TRUE(arrivesAgain(connection, "poscommands", slowest));
        EXPECT_LT(slowest, kPromptCall);
    }
}
