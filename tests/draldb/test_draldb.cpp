// The client library against the test cluster: configuration, notifications,
// statements and the POS queue as the launcher uses them; and while the
// server is stopped, restarted or frozen, no call outlasts the library's
// deadlines and listening resumes once it is back.
#include "draldbtest.h"

#include <QDir>

#include <sys/stat.h>
#include <utility>
#include <vector>

using namespace draldbtest;
using testsupport::TempAppDir;

namespace {

// Upper bounds per call: the library gives a connect 4 s and a statement
// 5 s plus 1 s for its cancel; a check never waits.
constexpr milliseconds kPromptCall{500};
constexpr milliseconds kConnectBound{7'000};
constexpr milliseconds kStatementBound{9'000};

// Channel names until `last` arrives; each call gives at most one.
std::vector<std::string> notificationsUntil(int32_t connection, const std::string &last)
{
    std::vector<std::string> got;
    pollUntil(
        [&] {
            for (std::string name; !(name = take(VB_notify_check(connection))).empty();) {
                got.push_back(name);
                if (name == last)
                    return true;
            }
            return false;
        },
        milliseconds(10'000));
    return got;
}

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

TEST(DraldbConfig, FrontEndFileIsReadWithTheLineSyntaxAndCompletedFromShellConf)
{
    TempAppDir dir;
    // Saved by Notepad: a byte-order mark before the first key.
    dir.write("dralfrontend.conf", "\xEF\xBB\xBF" + clusterConf() + "# stationid = 9\r\n  DB_NAME = shouted\r\n" +
                                       "note =  a=b = c \r\n\tstationid = 8\r\nstationid = \r\n");
    // The launcher appended the id it assigned; its db_host must not win.
    dir.write("shell.conf", "db_host = elsewhere\r\nstationid = 7\r\n");

    EXPECT_NE(system_init(frontEndExe(dir).c_str()), 0);
    EXPECT_EQ(take(config_getvalue("stationid")), "7");
    EXPECT_EQ(take(config_getvalue("db_host")), testenv::database().host.toStdString());
    EXPECT_EQ(take(config_getvalue("db_name")), testenv::database().name.toStdString());
    EXPECT_EQ(take(config_getvalue("note")), "a=b = c");
    EXPECT_EQ(take(config_getvalue("unknown")), "");
    EXPECT_EQ(take(config_getvalue(nullptr)), "");
}

TEST(DraldbConfig, WhichFileServes)
{
    TempAppDir dir;
    dir.write("korvantis.conf", clusterConf() + confLine("stationid", "12"));
    EXPECT_NE(system_init(frontEndExe(dir).c_str()), 0);
    EXPECT_EQ(take(config_getvalue("stationid")), "12");
    // A directory where the file should be is no configuration.
    ASSERT_TRUE(QDir(dir.path()).mkdir("dralfrontend.conf"));
    EXPECT_NE(system_init(frontEndExe(dir).c_str()), 0);
    EXPECT_EQ(take(config_getvalue("stationid")), "12");
    ASSERT_TRUE(QDir(dir.path()).rmdir("dralfrontend.conf"));
    dir.write("dralfrontend.conf", clusterConf() + confLine("stationid", "13"));
    EXPECT_NE(system_init(frontEndExe(dir).c_str()), 0);
    EXPECT_EQ(take(config_getvalue("stationid")), "13");

    TempAppDir shellOnly;
    shellOnly.write("shell.conf", clusterConf() + confLine("stationid", "5"));
    EXPECT_NE(system_init(frontEndExe(shellOnly).c_str()), 0);
    EXPECT_EQ(take(config_getvalue("stationid")), "5");

    // The configuration is the one just looked for, not the one before.
    TempAppDir empty;
    EXPECT_EQ(system_init(frontEndExe(empty).c_str()), 0);
    EXPECT_EQ(take(config_getvalue("stationid")), "");
    EXPECT_EQ(system_init(nullptr), 0);
}

// The launcher's id is the one its programs are given: a front-end file's
// id it would refuse gives way to it, and is never handed out.
TEST(DraldbConfig, StationIdOutsideOneTo32767CountsAsNone)
{
    TempAppDir dir;
    for (const char *bad : {"0", "32768", "-5", "7 OR 1=1"}) {
        dir.write("dralfrontend.conf", clusterConf() + confLine("stationid", bad));
        dir.write("shell.conf", confLine("stationid", "32767"));
        EXPECT_NE(system_init(frontEndExe(dir).c_str()), 0);
        EXPECT_EQ(take(config_getvalue("stationid")), "32767") << bad;
        dir.write("shell.conf", confLine("stationid", bad));
        EXPECT_NE(system_init(frontEndExe(dir).c_str()), 0);
        EXPECT_EQ(take(config_getvalue("stationid")), "") << bad;
    }
}

// Any line end, Windows-1252 when not UTF-8, and only regular files of at
// most 1 MiB: a FIFO or /dev/zero must not hang the till.
TEST(DraldbConfig, LfLinesWindows1252AndNoHangOnWhatIsNotAFile)
{
    TempAppDir dir;
    QByteArray conf = clusterConf() + "note = caf\xe9\r\n";
    dir.write("dralfrontend.conf", conf.replace("\r\n", "\n"));
    const std::string shell = dir.file("shell.conf").toStdString();
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "a FIFO" : "a link to /dev/zero");
        std::remove(shell.c_str());
        ASSERT_EQ(fifo ? ::mkfifo(shell.c_str(), 0600) : ::symlink("/dev/zero", shell.c_str()), 0);
        // Connecting shows the file's lines were told apart.
        EXPECT_NE(system_init(frontEndExe(dir).c_str()), 0);
        EXPECT_EQ(take(config_getvalue("note")), "caf\xc3\xa9");
        EXPECT_EQ(take(config_getvalue("stationid")), "");
    }
    std::remove(shell.c_str());
    dir.write("shell.conf", "stationid = 5\r\n" + QByteArray(1024 * 1024, '#'));
    EXPECT_NE(system_init(frontEndExe(dir).c_str()), 0);
    EXPECT_EQ(take(config_getvalue("stationid")), "");

    // A refused login gives no connection but keeps the configuration.
    dir.write("dralfrontend.conf", clusterConf("not-the-password") + confLine("stationid", "4"));
    EXPECT_EQ(system_init(frontEndExe(dir).c_str()), 0);
    EXPECT_EQ(take(config_getvalue("stationid")), "4");
}

TEST(DraldbNotify, OnePerCallInOrderWithoutPayloadAndOnlyListenedChannels)
{
    TempAppDir dir;
    const int32_t connection = connect(dir);
    ASSERT_NE(connection, 0);
    for (const char *channel : {"poscommands", "test", "launcherlistentest", "Till 7", "quote\"d", "test"})
        EXPECT_EQ(VB_notify_listen(connection, channel), 1) << channel;
    EXPECT_EQ(take(VB_notify_check(connection)), "");

    // One transaction: all arrive together, yet come out one per call.
    testenv::psql("BEGIN; NOTIFY test, 'payload one'; NOTIFY shutdown; NOTIFY poscommands; NOTIFY \"Till 7\"; "
                  "NOTIFY test, 'payload two'; NOTIFY \"quote\"\"d\"; NOTIFY \"TEST\"; NOTIFY launcherlistentest; "
                  "COMMIT");
    EXPECT_EQ(notificationsUntil(connection, "launcherlistentest"),
              (std::vector<std::string>{"test", "poscommands", "Till 7", "test", "quote\"d", "launcherlistentest"}));
    EXPECT_EQ(take(VB_notify_check(connection)), "");

    // The session's own NOTIFY arrives through the statement path.
    EXPECT_EQ(take(VB_new_sql(connection, "NOTIFY poscommands, '17'", nullptr, 0)), "");
    EXPECT_EQ(notificationsUntil(connection, "poscommands"), (std::vector<std::string>{"poscommands"}));

    EXPECT_EQ(VB_notify_listen(connection, ""), 0);
    EXPECT_EQ(VB_notify_listen(987654, "test"), 0);
}

TEST(DraldbQueue, RowHandlesNameRowsAndBadNamesChangeNothing)
{
    testenv::psql("DELETE FROM poscommands; INSERT INTO poscommands (id, stationid, device, command) VALUES "
                  "(101, 6, 1, 'a'), (102, 6, 1, 'b')");
    TempAppDir dir;
    const int32_t connection = connect(dir);
    int32_t rs = 0;
    take(VB_new_sql(connection, "SELECT id, command AS \"Command\" FROM poscommands ORDER BY id", &rs, 0));
    ASSERT_NE(rs, 0);
    int32_t first = VB_moveto(rs, 0);
    int32_t second = VB_moveto(rs, 1);
    EXPECT_EQ(take(VB_getvalue(rs, "", "Command", &first)), "a");
    EXPECT_EQ(take(VB_getvalue(rs, "", "command", &second)), "b");
    EXPECT_EQ(take(VB_getvalue(rs, "", "command", nullptr)), "b") << "no row handle: the current row";
    EXPECT_EQ(take(VB_getvalue(rs, "", "missing", &first)), "");

    // A table name is one quoted identifier, so this one names no table.
    EXPECT_NE(take(VB_delete(rs, "poscommands; DROP TABLE config", &first)), "");
    EXPECT_NE(take(VB_delete(rs, "", &first)), "");
    EXPECT_NO_THROW(testenv::psql("SELECT 1 FROM config"));
    EXPECT_EQ(take(VB_delete(rs, "poscommands", &second)), "");
    EXPECT_EQ(testenv::psql("SELECT id FROM poscommands"), "101\n");
    VB_free(&rs);

    // Without an id column no row can be named.
    take(VB_new_sql(connection, "SELECT command FROM poscommands", &rs, 0));
    int32_t row = VB_moveto(rs, 0);
    EXPECT_NE(take(VB_delete(rs, "poscommands", &row)), "");
    EXPECT_EQ(testenv::psql("SELECT count(*) FROM poscommands"), "1\n");
    VB_free(&rs);
    VB_free(&rs);
    VB_free(nullptr);
}

TEST(DraldbStatements, ErrorsAndStatementsWithoutRowsLeaveTheHandleZero)
{
    TempAppDir dir;
    const int32_t connection = connect(dir);
    StderrCapture capture;
    int32_t rs = 55;
    EXPECT_NE(take(VB_new_sql(connection, "Selec 1", &rs, 0)).find("syntax error"), std::string::npos);
    EXPECT_EQ(rs, 0);
    rs = 55;
    EXPECT_EQ(take(VB_new_sql(connection, "DELETE FROM poscommands WHERE id = -1", &rs, 0)), "");
    EXPECT_EQ(rs, 0);
    // Notices and warnings are the server's, never the launcher's stderr.
    EXPECT_EQ(take(VB_new_sql(connection, "DO $$BEGIN RAISE NOTICE 'n'; RAISE WARNING 'w'; END$$", &rs, 0)), "");
    // An empty result is still a result set, and the session still works.
    EXPECT_EQ(take(VB_new_sql(connection, "SELECT * FROM poscommands WHERE false", &rs, 0)), "");
    EXPECT_NE(rs, 0);
    EXPECT_EQ(VB_numrecord(rs), 0);
    VB_free(&rs);
    EXPECT_EQ(scalar(connection, "SELECT current_setting('client_encoding') AS v"), "UTF8");
    EXPECT_EQ(capture.text(), "");
}

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

// The session ends while the postmaster is frozen: the reconnect gets no
// answer to its handshake, checks stay prompt meanwhile, and once the server
// answers again the reconnect that gives the stuck one up listens again.
TEST(DraldbOutage, AReconnectWithoutAnswerIsGivenUpWhileChecksStayPrompt)
{
    TempAppDir dir;
    const int32_t connection = connect(dir);
    ASSERT_NE(connection, 0);
    VB_notify_listen(connection, "poscommands");
    const int pid = backendPid(connection);
    milliseconds slowest{0};
    {
        Stopped postmaster(testenv::postmasterPid());
        ASSERT_EQ(::kill(pid, SIGTERM), 0);
        // Long enough for the lost session to be noticed and a new one to
        // get stuck.
        slowest = checkFor(connection, milliseconds(1'500));
    }
    EXPECT_TRUE(arrivesAgain(connection, "poscommands", slowest));
    EXPECT_LT(slowest, kPromptCall);
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
    EXPECT_EQ(testenv::psql("SELECT count(*) FROM poscommands WHERE stationid = 99"), "1\n");
    // What the database did is what the caller hears: a committed INSERT
    // reported as failed would be queued again.
    EXPECT_EQ(error, "");
    EXPECT_NE(rs, 0);
    VB_free(&rs);
    testenv::psql("DELETE FROM poscommands WHERE stationid = 99");
}
