// The database side against the real cluster through psqlODBC: errors sorted
// for the settings dialog, the open's deadline, the start-up checks, the
// station set-up, the update and the watchdog, as the person at the till and
// the debug log see them.
#include "station/odbc.h"
#include "station/vbDatabase.h"
#include "config/vbUpdate.h"
#include "config/vbWatchdog.h"
#include "platform/socketwatch.h"

#include "clustersettings.h"
#include "recordingsinks.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using kv::MsgButtons;
using kv::MsgIcon;
using kv::MsgResult;
using kv::Outcome;
using kv::database::ConnectionFailure;
using kv::database::lookAtSchema;
using kv::database::tellSchemaLook;
using kv::database::setupStation;
using kv::Notice;
using testsupport::ScriptedPrompter;

namespace {

// Texts the driver gives on other servers and networks than this one's.
TEST(ConnectionErrorClasses, EachErrorFallsIntoItsClass)
{
    constexpr int kProvider = kv::odbc::kProviderError;
    const std::string at = "connection to server at \"10.0.0.5\", port 5432 failed: ";
    const auto no = ConnectionFailure::NoConnection, bad = ConnectionFailure::BadUserPass,
               old = ConnectionFailure::OldDatabase, error = ConnectionFailure::ConnectionError;
    const struct { int number; std::string description; const char *sqlState; ConnectionFailure expected; } cases[] = {
        {kProvider, at + "No route to host", "08001", no},
        {kProvider, at + "Connection timed out", "08001", no},
        {kv::odbc::kTimeoutError, "The database server did not answer within 15 seconds.", "HYT00", no},
        {kProvider, at + "FATAL:  role \"till\" does not exist", "08001", bad},
        {kProvider, "FATAL:  role \"till\" does not exist", "28000", bad},
        // A database of that name is not a question of user or password.
        {kProvider, "FATAL:  database \"pos\" does not exist", "08001", error},
        // Once connected, the same words come from a statement.
        {kProvider, "ERROR: relation \"Connection refused\" does not exist", "42P01", old},
        {kProvider, "server closed the connection unexpectedly", "08S01", error},
    };
    for (const auto &c : cases) {
        const kv::odbc::Error e(c.number, QString::fromStdString(c.description), QString::fromLatin1(c.sqlState));
        EXPECT_EQ(kv::database::classifyConnectionError(e), c.expected) << c.description;
    }
}

// Connections whose other end never writes: Unix socket pairs, which the
// watch takes for connections to a server in a socket directory.
const kv::platform::Peer kLocalServer{"/run/postgresql", 0};

// At the deadline the caller may not be waiting on the socket yet (between
// two system calls, still working in the driver): the watch looks again
// until it finds it. A read that starts well after the deadline is cut.
TEST(DeadlineWatch, ACallThatBlocksOnlyAfterTheDeadlineIsCutAllTheSame)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    // Should nothing cut it, the read still ends, and the test with it.
    const timeval bound{5, 0};
    ::setsockopt(pair[0], SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    kv::platform::DeadlineWatch *watch = kv::platform::DeadlineWatch::forThisThread();
    ASSERT_NE(watch, nullptr);
    const auto t0 = std::chrono::steady_clock::now();
    const std::uint64_t looks = watch->looks();
    watch->arm(std::chrono::milliseconds(50), kLocalServer);
    // Busy without a system call until the watch has looked twice: nothing to
    // find at the deadline, nor at the next look (the first may still be
    // looking when the read starts).
    while (watch->looks() < looks + 2 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5)) {
    }
    char byte = 0;
    EXPECT_EQ(::read(pair[0], &byte, 1), 0) << "the read ended otherwise than by the cut";
    EXPECT_TRUE(watch->disarm());
    // The next call is watched afresh, and one that returns in time is left alone.
    watch->arm(std::chrono::seconds(10), kLocalServer);
    EXPECT_FALSE(watch->disarm());
    ::close(pair[0]);
    ::close(pair[1]);
}

// The descriptor a thread blocks on may be closed and its number taken by
// another connection to the same server before the cut: that one is never cut.
TEST(DeadlineWatch, ANumberTakenByAnotherSocketIsNotCut)
{
    int first[2], second[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, first), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, second), 0);
    kv::platform::ThreadId reader;
    std::atomic<bool> started{false};
    std::thread blocked([&] {
        reader = kv::platform::currentThread();
        started = true;
        char byte = 0;
        [[maybe_unused]] const auto n = ::read(first[0], &byte, 1);
    });
    kv::platform::SocketId waitedOn;
    EXPECT_TRUE(testenv::pollUntil(
        [&] { return started && (waitedOn = kv::platform::socketWaitedOn(reader, kLocalServer)).valid(); },
        std::chrono::seconds(5)));
    EXPECT_EQ(waitedOn.fd, first[0]);
    // The number now names the second connection; the read goes on on the
    // first. Behind the thread checker's back, as the driver's own close is.
    ASSERT_EQ(::syscall(SYS_dup2, second[0], first[0]), first[0]);
    EXPECT_FALSE(kv::platform::cutSocket(waitedOn));
    EXPECT_EQ(::send(first[0], "x", 1, MSG_NOSIGNAL), 1) << "the second connection was cut";
    ::shutdown(first[1], SHUT_RDWR);
    blocked.join();
    for (const int fd : {first[0], first[1], second[0], second[1]})
        ::close(fd);
}

const QString kTooOld = QStringLiteral("Database version too old, please upgrade to the newest version or connect "
                                       "to a different database.");
const QString kNoRights = QStringLiteral("You do not have sufficient rights to set up on this workstation. Please "
                                         "restart as Administrator.");
const QByteArray kConf = "db_host = 127.0.0.1\r\ndb_name = kvtest\r\n";

// Every row of managedprogram in a fixed order, for before/after comparisons.
std::string programRows()
{
    return testenv::psql("SELECT id, name, path, executable, arguments, runonstart, restartonfailure, machineid "
                         "FROM managedprogram ORDER BY id");
}

void insertTemplates()
{
    testenv::psql("INSERT INTO managedprogram (name, path, executable, arguments, runonstart, restartonfailure, "
                  "machineid) VALUES "
                  "('Card reader', 'C:\\old\\', 'cardrd.exe', '-q', true, false, NULL), "
                  "('Notes', NULL, 'blipnote.exe', NULL, false, true, NULL), "
                  "('Front', '', 'run.bat', '', NULL, NULL, NULL)");
}

std::string programsOf(const std::string &machine)
{
    return testenv::psql("SELECT name, executable, arguments, runonstart, restartonfailure FROM managedprogram "
                         "WHERE machineid " + machine + " ORDER BY name");
}

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testenv::psql("DELETE FROM managedprogram; DELETE FROM config");
        // A quote and a backslash in the directory must reach the rows as they are.
        m_ctx.appDir = m_dir.path() + QStringLiteral("/it's a \\dir");
        ASSERT_TRUE(QDir().mkpath(m_ctx.appDir));
        m_ctx.launcherName = QStringLiteral("korvantis-launcher");
        m_dir.write(QStringLiteral("shell.conf"), kConf);
    }
    void TearDown() override { EXPECT_EQ(testenv::sessionsSettledAt(0), 0) << "a connection was left open"; }
    QString confPath() const { return m_dir.file(QStringLiteral("shell.conf")); }

    // The station holds a copy of each template, its path the application directory.
    void expectCopiesFor(int station)
    {
        const std::string copies = programsOf("= " + std::to_string(station));
        EXPECT_EQ(std::count(copies.begin(), copies.end(), '\n'), 3);
        EXPECT_EQ(copies, programsOf("IS NULL"));
        EXPECT_EQ(testenv::psql("SELECT DISTINCT path FROM managedprogram WHERE machineid = " +
                                std::to_string(station)),
                  (m_ctx.appPath() + QLatin1Char('\n')).toStdString());
    }

    kv::LauncherSettings m_settings = testsupport::clusterSettings();
    testsupport::TempAppDir m_dir;
    kv::AppContext m_ctx;
    testsupport::RecordingKiller m_killer;
    testsupport::RecordingEventLog m_events;
};

// The highest version counts; none at all reads as 1, which is too old, and
// is said even when errors are not shown.
TEST_F(DatabaseTest, SchemaVersionBelowNinetyIsRefused)
{
    const struct {
        const char *versions; int found; // 0: passes
    } cases[] = {{"", 1}, {"(NULL), (NULL)", 1}, {"(89), (NULL)", 89}, {"(89), (NULL), (90)", 0}};
    for (const auto &c : cases) {
        testenv::psql(std::string("DELETE FROM config;") +
                      (*c.versions ? std::string("INSERT INTO config (schemaversion) VALUES ") + c.versions : ""));
        for (bool showErrors : {false, true}) {
            ScriptedPrompter p;
            if (c.found)
                p.expectMessage(kTooOld, MsgButtons::OK, MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                                MsgIcon::Exclamation, true);
            EXPECT_EQ(tellSchemaLook(lookAtSchema(m_settings), showErrors, p, m_events), c.found ? 1 : 0)
                << c.versions << showErrors;
        }
    }
}

// A new station takes one more than the highest id, 1 on an empty table, on
// a line of its own (or the next start reads no id and makes another station)
// in a file kept private, as it holds the password. A station gets a copy of
// each template only while it has no programs.
TEST_F(DatabaseTest, NewStationTakesTheNextIdAndACopyOfEachTemplate)
{
    m_dir.write(QStringLiteral("shell.conf"), "db_name = kvtest");
    ASSERT_EQ(::chmod(confPath().toLocal8Bit().constData(), 0644), 0);
    ScriptedPrompter p;
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    EXPECT_EQ(m_settings.stationid, "1");
    EXPECT_EQ(m_dir.read("shell.conf"), "db_name = kvtest\r\nstationid = 1\r\n");
    struct stat st{};
    EXPECT_TRUE(::stat(confPath().toLocal8Bit().constData(), &st) == 0 && (st.st_mode & 0777) == 0600);
    EXPECT_EQ(programRows(), "") << "no templates, nothing copied";

    insertTemplates();
    testenv::psql("INSERT INTO managedprogram (name, machineid) VALUES ('x', 7), ('y', 12), ('z', 3)");
    m_settings.stationid.clear();
    m_dir.write(QStringLiteral("shell.conf"), kConf);
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    EXPECT_EQ(m_settings.stationid, "13");
    EXPECT_EQ(m_dir.read("shell.conf"), kConf + "stationid = 13\r\n");
    expectCopiesFor(13);
    testenv::psql("UPDATE managedprogram SET name = 'own' WHERE machineid = 13");
    const std::string rows = programRows();
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    EXPECT_EQ(programRows(), rows) << "a station with programs gets nothing";
    // The session of the look at the schema serves the set-up right after it.
    kv::odbc::Connection kept;
    lookAtSchema(m_settings, &kept);
    EXPECT_TRUE(kept.isOpen());
    m_settings.stationid = "5";
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p, &kept), Outcome::Continue);
    expectCopiesFor(5);
    EXPECT_EQ(testenv::psql("SELECT count(*) FROM pg_stat_activity WHERE query LIKE 'SELECT schemaversion%'"), "0\n");
    EXPECT_EQ(m_dir.read("shell.conf"), kConf + "stationid = 13\r\n") << "a known id is not written again";
}

// Each ends the launcher touching neither rows, file nor id. The id goes into
// SQL as it is: only a station id may reach the server, and any other is
// named to the person rather than called a matter of rights.
TEST_F(DatabaseTest, FailedSetUpEndsTheLauncherTouchingNothing)
{
    insertTemplates();
    testenv::psql("INSERT INTO managedprogram (name, path, machineid) VALUES ('own', '/opt/own/', 7)");
    const std::string rows = programRows();
    const QString blocked = m_dir.file(QStringLiteral("blocked.conf"));
    ASSERT_TRUE(QDir().mkpath(blocked));
    struct Case {
        QString id;
        bool wrongPassword = false, fileBlocked = false;
        QString inTitle = QStringLiteral("Korvantis Launcher");
    };
    const Case cases[] = {
        {"7' OR '1'='1"}, {"7.0"}, {"0"}, {"32768"},
        {"", true, false, "password authentication failed"},
        {"", false, true, "Is a directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id.toStdString() + (c.wrongPassword ? "wrong password" : "") + (c.fileBlocked ? "blocked" : ""));
        kv::LauncherSettings settings = m_settings;
        settings.stationid = c.id;
        if (c.wrongPassword)
            settings.db_password = QStringLiteral("wrong");
        const QString idText = QStringLiteral("The station id \"%1\" in %2 is not valid: a station id is a whole "
                                              "number from 1 to 32767, written in digits only. Please correct the "
                                              "stationid line of that file and start Korvantis Launcher again.");
        ScriptedPrompter p;
        p.expectMessage(c.id.isEmpty() ? kNoRights : idText.arg(c.id, confPath()), MsgButtons::OK, MsgResult::OK,
                        std::nullopt, c.id.isEmpty() ? MsgIcon::Information : MsgIcon::Critical, true);
        EXPECT_EQ(setupStation(settings, c.fileBlocked ? blocked : confPath(), m_ctx, p), Outcome::LauncherEnds);
        p.verifyDone();
        EXPECT_TRUE(p.shownMessages().front().title.contains(c.inTitle)) << "the error named in the title";
        EXPECT_EQ(programRows(), rows);
        EXPECT_EQ(settings.stationid, c.id);
        EXPECT_EQ(m_dir.read("shell.conf"), kConf);
    }
}

// Writes how many arguments it got and the credentials in its environment,
// one a line, and then its pid beside itself, and waits to be killed. Without its run bit: sh runs it.
const QByteArray kScript = "d=$(dirname \"$0\")\nexec >/dev/null 2>&1\n"
                           "printf '%s\\n' $# \"$KV_TE_USERNAME\" \"$KV_TE_PASSWORD\" > \"$d/args\"\n"
                           "echo $$ > \"$d/pid.tmp\"; mv \"$d/pid.tmp\" \"$d/pid\"\nexec sleep 60\n";

// A request leaves one empty marker, and the next start runs the script: it
// replaces the programs' files, so they are ended first, and it must outlive
// the launcher, in a session of its own. A directory in the marker's place
// means missing rights.
TEST_F(DatabaseTest, RequestedUpdateRunsTheScriptWithTheCredentialsAndItOutlivesTheLauncher)
{
    testenv::psql("INSERT INTO config (schemaversion, te_username, te_password) "
                  "VALUES (100, 'kv upd', 's3cr''t'), (100, 'second', 'row')");
    m_ctx.appDir = m_dir.path();
    m_dir.write("doupdate", "old\r\n");
    ScriptedPrompter p;
    const auto expectInform = [&p](const char *text) {
        p.expectMessage(QString::fromLatin1(text), MsgButtons::OK, MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                        MsgIcon::Information, true);
    };
    kv::Updater updater(m_ctx, m_settings, p, m_killer, m_events);
    // Without the script the request is used up all the same: the next start goes on without asking.
    expectInform("No update script found. Starting normally.");
    EXPECT_EQ(updater.runUpdate(), Outcome::Continue);
    EXPECT_FALSE(QFileInfo::exists(m_dir.file("doupdate")));
    m_dir.write("doupdate", "old\r\n");
    m_dir.write("kvtupd.sh", kScript);
    expectInform("Korvantis needs to be closed for the update to begin.");
    updater.requestUpdate();
    p.verifyDone();
    const QFileInfo marker(m_dir.file("doupdate"));
    EXPECT_TRUE(marker.isFile() && marker.size() == 0);

    EXPECT_EQ(updater.runUpdate(), Outcome::LauncherEnds);
    EXPECT_FALSE(QFileInfo::exists(m_dir.file("doupdate")));
    EXPECT_EQ(m_killer.names, QStringList({"blipnote.exe", "tallyward.exe", "dralfrontend.exe"}));
    testenv::pollUntil([&] { return QFileInfo::exists(m_dir.file("pid")); }, std::chrono::seconds(10));
    const int pid = m_dir.read("pid").trimmed().toInt();
    ASSERT_GT(pid, 0) << "the script did not run";
    EXPECT_EQ(QString::fromUtf8(m_dir.read("args")).split('\n', Qt::SkipEmptyParts),
              QStringList({"0", "kv upd", "s3cr't"}));
    EXPECT_EQ(::kill(pid, 0), 0) << "the script is gone with the launcher's objects";
    EXPECT_NE(::getsid(pid), ::getsid(0)) << "the script shares the launcher's session";
    EXPECT_EQ(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/0").arg(pid)), "/dev/null");
    ::kill(pid, SIGKILL);

    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("doupdate")));
    expectInform("You do not have sufficient rights to do an update. Please restart as Administrator.");
    updater.requestUpdate();
    p.verifyDone();
    EXPECT_TRUE(QFileInfo(m_dir.file("doupdate")).isDir());
}

const QString kLost = QStringLiteral("Database connection to Korvantis server lost.  Please check your network "
                                     "connection");
const QString kRecovered = QStringLiteral("Korvantis database connection recovered.");

// Qt reads the locale once, at first use: pinned for this process only, as
// psql (a Perl script) complains of a locale the machine lacks.
const bool kLocalePinned = [] {
    ::setenv("LC_TIME", "de_DE.UTF-8", 1);
    const bool german = QLocale::system().dateFormat(QLocale::ShortFormat) == QStringLiteral("dd.MM.yy");
    ::unsetenv("LC_TIME");
    return german;
}();

// The fake clock's time as that locale writes it.
const QDateTime kAt(QDate(2026, 7, 23), QTime(21, 47, 35));
const QString kCaption = QStringLiteral("Korvantis network activity as of 21:47:35 23.07.26");

Notice notice(const QString &text, int count)
{
    return {kCaption, text, QStringLiteral("This has happened %1 time(s) since last restart").arg(count)};
}

class WatchdogTest : public ::testing::Test {
protected:
    WatchdogTest() : m_clock(kAt), m_watchdog(m_notices, m_log, m_events, m_killer, m_clock, m_worker)
    {
        EXPECT_TRUE(kLocalePinned);
        // Start-up believes the connection up once its schema check passed.
        m_watchdog.setDbConnectionUp(true);
    }

    // One call; checks its result and the notices it showed.
    void check(const char *what, qint32 result, const std::vector<Notice> &notices)
    {
        SCOPED_TRACE(what);
        m_notices.shown.clear();
        EXPECT_TRUE(m_watchdog.testDatabaseConnection(m_settings));
        EXPECT_TRUE(m_worker.waitIdle(20'000));
        EXPECT_EQ(m_watchdog.applyDatabaseTest(), result);
        EXPECT_EQ(m_watchdog.applyDatabaseTest(), -1) << "applied once";
        EXPECT_EQ(m_notices.shown, notices);
    }

    kv::LauncherSettings m_settings = testsupport::clusterSettings();
    testsupport::RecordingKiller m_killer;
    kv::FakeClock m_clock;
    // A thread of its own, as in the launcher: the clock is only read on the
    // test's thread.
    kv::ThreadWorker m_worker;
    testsupport::RecordingNotices m_notices;
    testsupport::RecordingLog m_log;
    testsupport::RecordingEventLog m_events;
    kv::Watchdog m_watchdog;
};

TEST_F(WatchdogTest, OutagesAreCountedNoticedOnceAndEndedByAReconnect)
{
    check("first call after start", 0, {});
    EXPECT_EQ(m_killer.names, QStringList{"blipnote.exe"});
    check("connection up", 0, {});
    // The watchdog's session went while the server stayed (as when an answer
    // lands just as a deadline cuts the link): no outage that did not happen.
    // The session made again follows the settings as they are now.
    m_settings.db_name = QStringLiteral("postgres");
    testenv::psql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = current_user "
                  "AND datname = current_database() AND pid <> pg_backend_pid()");
    EXPECT_EQ(testenv::sessionsSettledAt(0), 0);
    check("session gone, server there", 0, {});
    EXPECT_EQ(m_watchdog.outageCount, 0);
    EXPECT_EQ(testenv::psql("SELECT count(*) FROM pg_stat_activity WHERE usename = current_user "
                            "AND datname = 'postgres'"), "1\n");
    m_settings = testsupport::clusterSettings();

    for (int outage = 1; outage <= 2; ++outage) {
        SCOPED_TRACE(outage);
        {
            testenv::ClusterStopped down;
            check("outage begins", 1, {notice(kLost, outage)});
            EXPECT_EQ(m_watchdog.outageCount, outage);
            EXPECT_FALSE(m_watchdog.probeDatabaseConnection(m_settings)) << "reconnects keep the checks' pace";
            check("still down", 1, {});
        }
        m_killer.names.clear();
        check("back", 0, {notice(kRecovered, outage)});
        EXPECT_EQ(m_killer.names, QStringList{"blipnote.exe"}) << "a reconnect ends blipnote again";
        check("up again", 0, {});
    }
    EXPECT_TRUE(m_watchdog.dbConnectionUp);
    EXPECT_EQ(testenv::sessionsSettledAt(1), 1) << "a reconnect gives the old connection back";
}

// A server that answers late is busy, not gone, and waiting for it takes no
// thread beyond the worker's own two. A backend that stops answering is an
// outage within the deadline.
// Nothing is left behind by the checks that were cut. A look that overruns
// its bound (should the driver's deadline not hold) is a failure and its
// worker is given up; the given-up job counts as unfinished until its thread
// has let go of the driver, so that the way out does not tear the driver
// down under it.
TEST_F(WatchdogTest, AStoppedServerIsAnOutageWithinTheDeadlineOrTheBoundButASlowOneIsNone)
{
    const auto backendPid = [] {
        return std::stoi(testenv::psql("SELECT pid FROM pg_stat_activity WHERE usename = current_user "
                                       "AND datname = current_database() AND pid <> pg_backend_pid()"));
    };
    EXPECT_TRUE(m_watchdog.testDatabaseConnection(m_settings));
    EXPECT_TRUE(m_worker.waitIdle(20'000));
    EXPECT_EQ(m_watchdog.applyDatabaseTest(), 0);
    // Threads and descriptors of this process, for "nothing grows per check".
    const auto threadsAndDescriptors = [] {
        return std::pair(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(),
                         QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System |
                                                                           QDir::NoDotAndDotDot).size());
    };
    const auto before = threadsAndDescriptors();
    const int backend = backendPid();
    {
        testenv::Frozen slow(backend);
        EXPECT_TRUE(m_watchdog.probeDatabaseConnection(m_settings));
        m_clock.advanceMs(kv::Watchdog::kQuietLookMs);
        EXPECT_TRUE(m_watchdog.lookPending()) << "a look that does not answer keeps the loop ticking";
        m_clock.setNow(kAt);
        std::this_thread::sleep_for(std::chrono::seconds(3));
        EXPECT_EQ(m_watchdog.applyDatabaseTest(), -1) << "a look that still waits is not applied";
        // The worker's one deadline watch keeps this call too.
        EXPECT_EQ(threadsAndDescriptors().first, before.first) << "a thread of its own for a guarded call";
    }
    EXPECT_TRUE(m_worker.waitIdle(2000));
    EXPECT_EQ(m_watchdog.applyDatabaseTest(), 0);
    EXPECT_TRUE(m_notices.shown.empty());
    {
        testenv::Frozen stopped(backend);
        const auto t0 = std::chrono::steady_clock::now();
        check("backend stopped", 1, {notice(kLost, 1)});
        EXPECT_LE(std::chrono::steady_clock::now() - t0,
                  std::chrono::milliseconds(kv::Watchdog::kTestDeadlineMs + 1500));
    }
    check("next check", 0, {notice(kRecovered, 1)});
    EXPECT_EQ(testenv::sessionsSettledAt(1), 1);
    EXPECT_EQ(threadsAndDescriptors(), before);

    {
        testenv::Frozen stopped(backendPid());
        m_notices.shown.clear();
        EXPECT_TRUE(m_watchdog.testDatabaseConnection(m_settings));
        m_clock.advanceMs(kv::Watchdog::kTestBoundMs - 1);
        EXPECT_EQ(m_watchdog.applyDatabaseTest(), -1);
        m_clock.advanceMs(1);
        EXPECT_EQ(m_watchdog.applyDatabaseTest(), 1);
        ASSERT_EQ(m_notices.shown.size(), 1u);
        EXPECT_EQ(m_notices.shown[0].noticeText, kLost);
        EXPECT_EQ(kv::ThreadWorker::jobsUnfinished(), 1);
        EXPECT_FALSE(m_worker.busy()) << "the next check waits for the given-up one";
    }
    EXPECT_TRUE(testenv::pollUntil([] { return kv::ThreadWorker::jobsUnfinished() == 0; }, std::chrono::seconds(5)));
}

} // namespace
