// The client library against the test cluster, also while the server is
// stopped or frozen: no call outlasts its deadlines, and listening resumes.
#include "draldb.h"
#include "draldbtest.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace draldbtest;
using testenv::pollUntil;
using testsupport::TempAppDir;

namespace {

// Upper bounds per call: the library gives a connect 4 s and a statement
// 5 s plus 1 s for its cancel; a check never waits.
constexpr milliseconds kPromptCall{500};
constexpr milliseconds kConnectBound{7'000};
constexpr milliseconds kStatementBound{9'000};

// Takes a returned text over and frees it.
std::string take(char *text)
{
    EXPECT_NE(text, nullptr);
    std::string copy = text ? text : "";
    draldb_free(text);
    return copy;
}

// What the launcher passes: its directory and the front-end's name.
int32_t init(const TempAppDir &dir)
{
    return system_init(dir.file(QStringLiteral("dralfrontend")).toStdString().c_str());
}

int32_t connect(const TempAppDir &dir)
{
    dir.write(QStringLiteral("dralfrontend.conf"), clusterConf());
    return init(dir);
}

int backendPid(int32_t connection)
{
    int32_t rs = 0;
    EXPECT_EQ(take(VB_new_sql(connection, "SELECT pg_backend_pid() AS pid", &rs, 0)), "");
    int32_t row = VB_moveto(rs, 0);
    const int pid = std::stoi(take(VB_getvalue(rs, "", "pid", &row)));
    VB_free(&rs);
    return pid;
}

// Whether a SIGINT waits for a stopped process: the postmaster hands a
// cancel request on to the backend as one.
bool interruptPending(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("ShdPnd:", 0) == 0)
            return std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGINT - 1));
    }
    return false;
}

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

} // namespace

// Which file serves, and which station id counts: the launcher's id is the one
// its programs are given, so a front-end file's id it would refuse gives way
// to it and is never handed out; shell.conf, where the launcher appends the
// id it assigned, only completes what the front-end's file leaves empty. A
// refused login keeps the configuration. The line syntax is the launcher's
// own (test_frmconfig).
TEST(DraldbConfig, WhichFileServesAndWhichStationIdCounts)
{
    const auto id = [](const char *value) { return confLine("stationid", value); };
    const QByteArray conf = clusterConf();
    const struct { QByteArray front, old, shell; bool connects; std::string stationid; } cases[] = {
        {"", conf + id("12"), "", true, "12"},
        {conf + id("13"), conf + id("12"), "", true, "13"},
        {"", "", conf + id("5"), true, "5"},
        // The configuration is the one just looked for, not the one before.
        {"", "", "", false, ""},
        {QByteArray(conf).replace("\r\n", "\n") + id("0"), "", id("32767"), true, "32767"},
        {conf + id("32768"), "", id("32767"), true, "32767"},
        {conf + id("7 OR 1=1"), "", id("-5"), true, ""},
        // Only files of at most 1 MiB are read.
        {conf, "", id("5") + QByteArray(1024 * 1024, '#'), true, ""},
        {clusterConf("not-the-password") + id("4"), "", "", false, "4"},
        // Saved by Notepad; a key in capitals is another key.
        {"\xEF\xBB\xBF" + conf + "DB_NAME = shouted\r\n" + id(""), "", "db_host = elsewhere\r\n" + id("7"), true, "7"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.front.left(40).toStdString() + "|" + c.old.left(40).toStdString() + "|" +
                     c.shell.left(40).toStdString());
        TempAppDir dir;
        const std::pair<const char *, QByteArray> files[] = {
            {"dralfrontend.conf", c.front}, {"korvantis.conf", c.old}, {"shell.conf", c.shell}};
        for (const auto &[name, bytes] : files)
            if (!bytes.isEmpty())
                dir.write(name, bytes);
        EXPECT_EQ(init(dir) != 0, c.connects);
        EXPECT_EQ(take(config_getvalue("stationid")), c.stationid);
    }
    EXPECT_EQ(system_init(nullptr), 0);
    EXPECT_EQ(take(config_getvalue(nullptr)), "");
    // A FIFO or /dev/zero for shell.conf must not hang the till.
    TempAppDir dir;
    dir.write("dralfrontend.conf", conf);
    const std::string shell = dir.file("shell.conf").toStdString();
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "a FIFO" : "a link to /dev/zero");
        std::remove(shell.c_str());
        ASSERT_EQ(fifo ? ::mkfifo(shell.c_str(), 0600) : ::symlink("/dev/zero", shell.c_str()), 0);
        EXPECT_NE(init(dir), 0);
    }
}

// The trigger a chain installs notifies the row's station only; the library
// hands that on as "poscommands", and a plain broadcast still reaches all.
TEST(DraldbSession, ARowWakesOnlyItsStationThroughTheTriggerAndTheBroadcastWakesAll)
{
    const std::shared_ptr<void> removed(nullptr, [](void *) {
        testenv::psql("DROP TRIGGER IF EXISTS korvantis_notify_station ON poscommands; DROP FUNCTION IF EXISTS "
                      "korvantis_notify_station(); DELETE FROM poscommands WHERE stationid IN (7, 8)");
    });
    for (int i = 0; i < 2; ++i) // a second install changes nothing
        testenv::psqlOn(testenv::database().name.toStdString(), "-f", KV_SOURCE_DIR "/docs/notify-by-station.sql");

    std::map<int, int32_t> till;
    for (int station : {7, 8}) {
        TempAppDir dir;
        dir.write(QStringLiteral("dralfrontend.conf"), clusterConf() + confLine("stationid", std::to_string(station)));
        till[station] = init(dir);
        ASSERT_NE(till[station], 0);
        EXPECT_EQ(VB_notify_listen(till[station], "poscommands"), 1);
        EXPECT_EQ(VB_notify_listen(till[station], "test"), 1);
    }
    // What each till hears up to a marker sent after the step.
    const auto heard = [&](const std::string &sql) {
        testenv::psql(sql + "; NOTIFY test");
        return std::make_pair(notificationsUntil(till[7], "test"), notificationsUntil(till[8], "test"));
    };
    using Heard = std::pair<std::vector<std::string>, std::vector<std::string>>;
    const std::vector<std::string> receipt{"poscommands", "test"}, none{"test"};
    EXPECT_EQ(heard("INSERT INTO poscommands (stationid, device, command) VALUES (7, 1, 'a'), (7, 2, '')"),
              Heard(receipt, none))
        << "two rows of one transaction, one notification, for station 7 only";
    EXPECT_EQ(heard("NOTIFY poscommands"), Heard(receipt, receipt));
    testenv::psql("DROP TRIGGER korvantis_notify_station ON poscommands");
    EXPECT_EQ(heard("INSERT INTO poscommands (stationid, device) VALUES (8, 2)"), Heard(none, none));
}

TEST(DraldbOutage, ListeningResumesAfterARestartAndAFrozenServerHoldsNoCallBeyondItsDeadline)
{
    TempAppDir dir;
    const int32_t connection = connect(dir);
    ASSERT_NE(connection, 0);
    VB_notify_listen(connection, "shutdown");
    VB_notify_listen(connection, "poscommands");
    EXPECT_EQ(VB_notify_listen(987654, "test"), 0);
    // An empty answer is still a result set: an empty queue, not a failed read.
    int32_t emptyQueue = 0;
    EXPECT_EQ(take(VB_new_sql(connection, "SELECT 1 WHERE false", &emptyQueue, 0)), "");
    EXPECT_NE(emptyQueue, 0);
    VB_free(&emptyQueue);
    // A waiter on the socket is woken by what arrives, and the check then
    // has it at once.
    const auto wokenBy = [&](const char *channel) {
        const int socket = draldb_socket(connection);
        EXPECT_GE(socket, 0);
        testenv::psql(std::string("NOTIFY ") + channel);
        pollfd p{socket, POLLIN, 0};
        return ::poll(&p, 1, 5000) == 1 ? take(VB_notify_check(connection)) : std::string("no wake");
    };
    EXPECT_EQ(wokenBy("shutdown"), "shutdown");

    milliseconds slowest{0};
    {
        testenv::ClusterStopped server;
        slowest = checkFor(connection, milliseconds(300));
        EXPECT_EQ(draldb_socket(connection), -1) << "no session, nothing to wait on";
        // The lost session is worth a look on the launcher's next tick.
        EXPECT_EQ(draldb_pending(connection), 1);
        // A channel first named while the server is away is listened on too.
        EXPECT_EQ(VB_notify_listen(connection, "test"), 0);
        int32_t rs = 7;
        const auto start = SteadyClock::now();
        EXPECT_NE(take(VB_new_sql(connection, "SELECT 1", &rs, 0)), "");
        EXPECT_LT(elapsedSince(start), kPromptCall) << "a statement without a session fails at once";
        EXPECT_EQ(rs, 0);
    }
    for (const char *channel : {"poscommands", "shutdown", "test"})
        EXPECT_TRUE(arrivesAgain(connection, channel, slowest)) << channel;
    EXPECT_LT(slowest, kPromptCall);
    // Renewed once, in the background: the launcher's cue for a catch-up pass.
    EXPECT_EQ(draldb_relistens(connection), 1);
    EXPECT_EQ(wokenBy("poscommands"), "poscommands") << "the new session's socket";

    // A statement on a frozen backend is cancelled at its deadline; an INSERT
    // that commits anyway within the grace is reported done (else it would be
    // queued again). A frozen postmaster accepts and never answers: only the
    // deadlines end a reconnect, checks stay prompt, and listening resumes.
    slowest = milliseconds(0);
    testenv::psql("DELETE FROM poscommands WHERE stationid = 99");
    for (const bool wokenAtCancel : {true, false}) {
        SCOPED_TRACE(wokenAtCancel ? "woken at the cancel" : "never woken");
        const int pid = backendPid(connection);
        const char *sql = wokenAtCancel ? "INSERT INTO poscommands (stationid, device) VALUES (99, 1) RETURNING id"
                                        : "SELECT 1";
        int32_t rs = 0;
        {
            testenv::Frozen backend(pid);
            bool cancelled = false;
            std::thread watch([&] {
                cancelled = pollUntil([pid] { return interruptPending(pid); }, kStatementBound);
                if (wokenAtCancel)
                    ::kill(pid, SIGCONT);
            });
            const auto start = SteadyClock::now();
            const std::string error = take(VB_new_sql(connection, sql, &rs, 0));
            EXPECT_LT(elapsedSince(start), kStatementBound);
            watch.join();
            EXPECT_TRUE(cancelled);
            EXPECT_EQ(error.empty(), wokenAtCancel) << error;
            EXPECT_EQ(rs != 0, wokenAtCancel);
        }
        VB_free(&rs);
    }
    EXPECT_EQ(testenv::psql("SELECT count(*) FROM poscommands WHERE stationid = 99"), "1\n");
    testenv::psql("DELETE FROM poscommands WHERE stationid = 99");
    EXPECT_TRUE(arrivesAgain(connection, "poscommands", slowest));

    const int pid = backendPid(connection);
    {
        testenv::Frozen postmaster(testenv::postmasterPid());
        ASSERT_EQ(::kill(pid, SIGTERM), 0);
        slowest = std::max(slowest, checkFor(connection, milliseconds(500)));
        const auto start = SteadyClock::now();
        EXPECT_EQ(connect(dir), 0);
        EXPECT_LT(elapsedSince(start), kConnectBound);
    }
    EXPECT_TRUE(arrivesAgain(connection, "poscommands", slowest));
    EXPECT_LT(slowest, kPromptCall);
}
