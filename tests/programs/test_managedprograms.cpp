// The station's programs with real children, a fake clock and the real
// database: what loading makes of the rows, run.sh, ends noticed, restarts
// after the delay and never before, the front-end's end marker, stopping.
#include "programs/vbManagedPrograms.h"
#include "programs/vbRunScript.h"
#include "recordingsinks.h"

#include "config/odbc.h"

#include "childhelpers.h"
#include "clustersettings.h"
#include "scriptedprompter.h"
#include "tempdir.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

using kv::ManagedProgram;
using kv::Outcome;

namespace {

const QString kEcho = QString::fromUtf8(childhelpers::kv_child_echo);
const QString kExitAfter = QString::fromUtf8(childhelpers::kv_child_exit_after);

class Programs : public ::testing::Test {
protected:
    testsupport::TempAppDir dir;
    kv::AppContext ctx{dir.path(), QStringLiteral("korvantis-launcher")};
    testsupport::ScriptedPrompter prompter;
    kv::FakeClock clock{QDateTime(QDate(2026, 12, 5), QTime(9, 0))};
    kv::LauncherSettings shellConf = testsupport::clusterSettings();
    testsupport::RecordingEventLog events;
    kv::ManagedPrograms mp{ctx, prompter, clock, shellConf, events};

    void SetUp() override
    {
        shellConf.stationid = QStringLiteral("41");
        testenv::psql("DELETE FROM managedprogram");
        // For loading: a front-end that says what it was given and fails;
        // run.sh prints its end marker all the same.
        program("dralfrontend.exe", "#!/bin/sh\nprintf 'front:%s|' \"$@\"\nexit 3\n");
    }

    ~Programs() override
    {
        for (auto &e : mp.managedPrograms) {
            if (e.process && e.process->pReady)
                e.process->killProcess();
        }
    }

    // An entry running a helper program from the build tree.
    ManagedProgram &add(const QString &program, const QString &arguments, bool restart)
    {
        ManagedProgram e;
        e.path = QFileInfo(program).absolutePath() + QLatin1Char('/');
        e.executable = e.name = QFileInfo(program).fileName();
        e.arguments = arguments;
        e.restartOnFailure = restart;
        return mp.managedPrograms.emplace_back(std::move(e));
    }

    // An executable shell script in the application directory.
    QString program(const QString &name, const QByteArray &body)
    {
        dir.write(name, body);
        QFile::setPermissions(dir.file(name), QFile::permissions(dir.file(name)) | QFileDevice::ExeOwner);
        return dir.file(name);
    }

    // Supervision passes on real time, the fake clock standing still, until
    // `done` holds (ten seconds at most).
    template <typename Pred>
    bool passUntil(Pred done)
    {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < 10000) {
            mp.superviseManagedPrograms();
            QThread::msleep(5);
        }
        return done();
    }

    bool running(int index) { return mp.runnerOf(mp.managedPrograms.at(std::size_t(index))).pReady; }
    const QString &output(int i) { return mp.runnerOf(mp.managedPrograms.at(std::size_t(i))).outText; }

    // "name|path|arguments|" and the flags as 0/1: run on start, restart,
    // running, awaiting a restart; then the failure count.
    QString summary(int index)
    {
        const ManagedProgram &e = mp.managedPrograms.at(std::size_t(index));
        return QStringLiteral("%1|%2|%3|").arg(e.name, e.path, e.arguments) +
               QString::asprintf("%d%d%d%d %d", e.runOnStart, e.restartOnFailure, running(index), e.awaitingRestart,
                                 int(e.failureCount));
    }

    static void insert(const QString &values)
    {
        testenv::psql("INSERT INTO managedprogram (name, path, executable, arguments, runonstart, "
                      "restartonfailure, machineid) VALUES " + values.toStdString());
    }
};

TEST_F(Programs, RestartsOnTheFirstPassAtLeastElevenSecondsAfterTheEndUnlessRestartIsOff)
{
    // The end falls just before midnight, the restart just after.
    clock.setNow(QDateTime(QDate(2026, 12, 5), QTime(23, 58, 50)));
    add(kEcho, QStringLiteral("out:hello"), true);
    add(kEcho, QStringLiteral("out:second"), false);
    ASSERT_TRUE(mp.startProgram(0) && mp.startProgram(1));
    // However long the child ran, the pass that finds it ended only records.
    clock.advanceMs(60'000);
    ASSERT_TRUE(passUntil([&] { return !running(0) && !running(1); }));
    EXPECT_EQ(summary(0).section('|', 3), QStringLiteral("0101 1"));
    EXPECT_EQ(mp.managedPrograms[0].failedAt, clock.now());
    EXPECT_EQ(summary(1).section('|', 3), QStringLiteral("0000 0"));
    EXPECT_EQ(output(1), QStringLiteral("second\n-v\nstationid=41\n"));

    clock.advanceMs(10'999);
    mp.superviseManagedPrograms();
    EXPECT_EQ(summary(0).section('|', 3), QStringLiteral("0101 1")) << "restarted before 11 whole seconds";
    clock.advanceMs(1);
    mp.superviseManagedPrograms();
    EXPECT_EQ(summary(0).section('|', 3), QStringLiteral("0110 1")) << "a successful restart keeps the count";
    EXPECT_FALSE(mp.managedPrograms[0].failedAt.isValid());
    clock.advanceMs(3'600'000);
    // The restarted child is a new run: it ends again and is counted again.
    ASSERT_TRUE(passUntil([&] { return !running(0); }));
    EXPECT_EQ(mp.managedPrograms[0].failureCount, 2);
    EXPECT_FALSE(running(1));
}

TEST_F(Programs, FrontEndFinishedByMarkerWhileStillRunningAndReopenedWithOnlyTheStationId)
{
    const QString front =
        program("front.sh", "#!/bin/sh\nprintf '%s|' \"$@\"\n"
                            "printf 'bye\\r\\n$$finished$$\\r\\n'\nexec sleep 30\n");
    add(front, QStringLiteral("row-arguments"), false);
    EXPECT_TRUE(mp.frontEndFinished()) << "never started counts as finished";
    mp.reopenFrontEnd();
    EXPECT_FALSE(mp.frontEndFinished());
    ASSERT_TRUE(passUntil([&] { return mp.frontEndFinished(); }));
    EXPECT_TRUE(running(0));
    EXPECT_EQ(output(0), QStringLiteral("-v|stationid=41|bye\r\n$$finished$$\r\n"));
}

TEST_F(Programs, StopEndsAllButTheFrontEnd)
{
    for (const bool restart : {false, true, true})
        add(kExitAfter, QStringLiteral("60000"), restart);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(mp.startProgram(i));
    mp.stopManagedPrograms();
    EXPECT_TRUE(running(0));
    EXPECT_FALSE(running(1) || running(2));
    // Stopped on the way out is not an end to restart.
    clock.advanceMs(20'000);
    mp.superviseManagedPrograms();
    EXPECT_FALSE(running(1));
}

TEST_F(Programs, FrontEndIsItsRowOrTheDefaultAndRunsThroughItsScript)
{
    const struct {
        QString rows, front, output;
    } cases[] = {
        {"('Reader', '/opt', 'reader', '', true, true, 42)", "Korvantis|" + dir.appPath() + "||1010 0",
         "front:-v|front:stationid=41|$$finished$$\r\n"},
        // The last front-end row wins; it runs whatever its run-on-start says.
        {"('Old till', '/nowhere', 'korvantis.exe', 'ignored', true, true, 41), ('Till', '" + dir.path() +
             "', 'DralFrontEnd.EXE', '--kiosk \"two words\"', false, false, 41)",
         "Till|" + dir.appPath() + "|--kiosk \"two words\"|0010 0",
         "front:--kiosk|front:two words|front:-v|front:stationid=41|$$finished$$\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.front.toStdString());
        testenv::psql("DELETE FROM managedprogram");
        insert(c.rows);
        ASSERT_EQ(mp.loadManagedPrograms(shellConf), Outcome::Continue);
        ASSERT_EQ(mp.managedPrograms.size(), 1u);
        EXPECT_EQ(summary(0), c.front);
        EXPECT_EQ(mp.managedPrograms[0].id == 0, c.front.startsWith("Korvantis|")) << "the default: no row";
        EXPECT_EQ(mp.managedPrograms[0].executable, QStringLiteral("run.sh"));
        ASSERT_TRUE(passUntil([&] { return !running(0); }));
        EXPECT_EQ(output(0), c.output);
    }
}

TEST_F(Programs, OtherRowsInDatabaseOrderWithTheirFlagsAndAFailedStartRetriedAfterEachDelay)
{
    const QString helpers = QFileInfo(kExitAfter).absolutePath() + QLatin1Char('/');
    insert("('Reader', '" + helpers.chopped(1) + "', 'kv_child_exit_after', '60000', true, NULL, 41),"
           "('Idle', '', 'kv_child_echo', NULL, false, false, 41),"
           "('Scale', '" + helpers + "', 'kv_child_exit_after', '60000', NULL, true, 41),"
           "('Other station', '/x', 'kv_child_echo', '', true, true, 7),"
           "('Broken', '" + dir.path() + "', 'missing-program', '', true, true, 41)");
    const QString failed = "Failed to create process: \"" + dir.appPath() +
                           "missing-program\"  -v stationid=41 in " + dir.appPath() + ".";
    prompter.expectMessage(failed, kv::MsgButtons::OK, kv::MsgResult::OK);
    ASSERT_EQ(mp.loadManagedPrograms(shellConf), Outcome::Continue);
    prompter.verifyDone();
    ASSERT_EQ(mp.managedPrograms.size(), 5u);
    // NULL restarts but does not run on start; an empty path is the application directory.
    EXPECT_EQ(summary(1), "Reader|" + helpers + "|60000|1110 0");
    EXPECT_EQ(summary(2), "Idle|" + dir.appPath() + "||0000 0");
    EXPECT_EQ(summary(3), "Scale|" + helpers + "|60000|0100 0");
    EXPECT_EQ(summary(4), "Broken|" + dir.appPath() + "||1101 1");
    EXPECT_EQ(mp.managedPrograms[4].failedAt, clock.now());

    // A restart that fails again waits the whole delay once more.
    prompter.expectMessage(failed, kv::MsgButtons::OK, kv::MsgResult::OK, QString("Korvantis Launcher"),
                           kv::MsgIcon::Exclamation, true);
    clock.advanceMs(11'000);
    mp.superviseManagedPrograms();
    EXPECT_EQ(summary(4).section('|', 3), QStringLiteral("1101 2"));
    clock.advanceMs(10'000);
    mp.superviseManagedPrograms();
    prompter.verifyDone();
}

TEST_F(Programs, RunScriptNamesTheFrontEndFoundOrTypedAndReplacesTheOldScript)
{
    ASSERT_TRUE(QFile::remove(dir.file("dralfrontend.exe")) && QDir(dir.path()).mkdir("subdir"));
    const QString title = QStringLiteral("Korvantis Launcher");
    const QString ask = "What is the executable name for your Korvantis installation? (eg. korvantis.exe)";
    const QString notFound = "Your Korvantis executable could not be located. You need to edit run.sh to "
                             "configure Korvantis to run correctly.";
    const struct {
        const char *present, *typed, *line; // added to what earlier cases left; nullptr: none
    } cases[] = {
        {"till.exe", "*.exe", "./*.exe \"$@\""}, // a typed wildcard counts as found
        {"pos-client", "pos-client", "./pos-client \"$@\""},
        {".hidden.exe", "", nullptr}, // cancelled
        {nullptr, "missing.exe", nullptr},
        {nullptr, "subdir", nullptr},
        {nullptr, ".hidden.exe", nullptr},
        {"korvantis.exe", nullptr, "./korvantis.exe \"$@\""},
        {"dralfrontend.exe", nullptr, "./dralfrontend.exe \"$@\""}, // wins over korvantis.exe
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed ? c.typed : c.line);
        dir.write("run.sh", QByteArray(200, '#') + "\nhand edited, longer than the new script\n");
        if (c.present)
            program(c.present, "#!/bin/sh\n");
        if (c.typed)
            prompter.expectInput(ask, c.typed, title);
        if (!c.line)
            prompter.expectMessage(notFound, kv::MsgButtons::OK, kv::MsgResult::OK, title,
                                   kv::MsgIcon::Exclamation, true);
        EXPECT_EQ(kv::runscript::writeRunScript(ctx, prompter), Outcome::Continue);
        prompter.verifyDone();
        const QByteArray line = c.line ? c.line : "# Your Korvantis executable could not be located.";
        EXPECT_EQ(dir.read("run.sh"), "#!/bin/sh\n# Enter commands to run korvantis here\n" + line +
                                          "\n# End commands here\nprintf '%s\\r\\n' '$$finished$$'\n");
        EXPECT_TRUE(QFileInfo(dir.file("run.sh")).isExecutable());
    }
}

TEST_F(Programs, UnwritableRunScriptEndsTheLauncher)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("run.sh")));
    prompter.expectMessage(
        "You do not have sufficient rights to create a run file. Please restart as Administrator.",
        kv::MsgButtons::OK, kv::MsgResult::OK, std::nullopt, kv::MsgIcon::Information, true);
    EXPECT_EQ(mp.loadManagedPrograms(shellConf), Outcome::LauncherEnds);
    ASSERT_EQ(prompter.shownMessages().size(), 1);
    EXPECT_TRUE(prompter.shownMessages().first().title.startsWith(QStringLiteral("Korvantis Launcher - ")));
}

// The id goes into SQL as it is: only a whole number may reach the server;
// an id beyond what the launcher holds is a clear error, not a wrapped number.
TEST_F(Programs, StationIdThatIsNotAWholeNumberAndAnIdTooBigLoadNothing)
{
    insert("('Mine', '/x', 'kv_child_echo', '', false, true, 41), ('Other', '/x', 'x', '', false, true, 7)");
    for (const char *id : {"7 OR 1=1", "", "+41"}) {
        shellConf.stationid = QString::fromUtf8(id);
        EXPECT_THROW(mp.loadManagedPrograms(shellConf), kv::odbc::Error) << id;
        EXPECT_TRUE(mp.managedPrograms.empty()) << id;
    }
    shellConf.stationid = QStringLiteral("041");
    ASSERT_EQ(mp.loadManagedPrograms(shellConf), Outcome::Continue);
    ASSERT_EQ(mp.managedPrograms.size(), 2u);
    EXPECT_EQ(mp.managedPrograms[1].name, QStringLiteral("Mine"));

    testenv::psql("INSERT INTO managedprogram (id, name, executable, machineid) "
                  "VALUES (40000, 'Big', 'x', 41)");
    try {
        mp.loadManagedPrograms(shellConf);
        ADD_FAILURE() << "loading should fail";
    } catch (const kv::odbc::Error &e) {
        EXPECT_TRUE(e.description().contains("40000") && e.description().contains("Big"))
            << e.description().toStdString();
    }
}

} // namespace
