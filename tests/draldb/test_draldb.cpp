// The client library against the test cluster: configuration, notifications,
// statements and the POS queue as the launcher uses them.
#include "draldbtest.h"

#include <QDir>

#include <sys/stat.h>
#include <vector>

using namespace draldbtest;
using testsupport::TempAppDir;

namespace {

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

int count(const std::string &where)
{
    return std::stoi(testenv::psql("SELECT count(*) FROM poscommands WHERE " + where));
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
}

TEST(DraldbConfig, RefusedLoginGivesZeroButKeepsTheConfiguration)
{
    TempAppDir dir;
    const auto start = SteadyClock::now();
    dir.write("dralfrontend.conf", clusterConf("not-the-password") + confLine("stationid", "4"));
    EXPECT_EQ(system_init(frontEndExe(dir).c_str()), 0);
    EXPECT_EQ(take(config_getvalue("stationid")), "4");
    EXPECT_LT(elapsedSince(start), milliseconds(10'000));
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
    EXPECT_EQ(count("true"), 1);
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

// A row locked by another session holds a DELETE until the deadline; the
// cancel frees the caller and the session stays usable.
TEST(DraldbStatements, AStatementStuckBehindALockIsCancelledAtItsDeadline)
{
    testenv::psql("DELETE FROM poscommands; INSERT INTO poscommands (id, stationid, device) VALUES (201, 1, 1)");
    TempAppDir dir;
    const int32_t holder = connect(dir);
    const int32_t connection = system_init(frontEndExe(dir).c_str());
    ASSERT_EQ(take(VB_new_sql(holder, "BEGIN; SELECT id FROM poscommands WHERE id = 201 FOR UPDATE", nullptr, 0)), "");

    int32_t rs = 0;
    take(VB_new_sql(connection, "SELECT id FROM poscommands WHERE id = 201", &rs, 0));
    int32_t row = VB_moveto(rs, 0);
    const auto start = SteadyClock::now();
    const std::string error = take(VB_delete(rs, "poscommands", &row));
    EXPECT_LT(elapsedSince(start), milliseconds(8'000));
    EXPECT_NE(error.find("cancel"), std::string::npos) << error;
    VB_free(&rs);

    EXPECT_EQ(scalar(connection, "SELECT 'still here' AS v"), "still here");
    take(VB_new_sql(holder, "ROLLBACK", nullptr, 0));
    EXPECT_EQ(count("id = 201"), 1);
}
