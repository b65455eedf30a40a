// Loading the station's programs from the real database and starting them.
#include "programs/vbManagedPrograms.h"
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

using kv::ManagedPrograms;
using kv::Outcome;

namespace {

std::string sqlText(const QString &s) { return "'" + s.toStdString() + "'"; }

class Loading : public ::testing::Test {
protected:
    testsupport::TempAppDir dir;
    kv::AppContext ctx{dir.path(), QStringLiteral("korvantis-launcher")};
    testsupport::ScriptedPrompter prompter;
    kv::FakeClock clock;
    kv::LauncherSettings shellConf;
    testsupport::RecordingEventLog events;
    ManagedPrograms mp{ctx, prompter, clock, shellConf, events};

    void SetUp() override
    {
        shellConf = testsupport::clusterSettings();
        shellConf.stationid = QStringLiteral("41");
        testenv::psql("DELETE FROM managedprogram");
        // A front-end that says what it was given and fails: run.sh prints its marker anyway.
        const QString front = dir.file(QStringLiteral("dralfrontend.exe"));
        dir.write(QStringLiteral("dralfrontend.exe"), "#!/bin/sh\nprintf 'front:%s|' \"$@\"\nexit 3\n");
        QFile::setPermissions(front, QFile::permissions(front) | QFileDevice::ExeOwner);
    }

    void TearDown() override
    {
        for (auto &e : mp.managedPrograms) {
            if (e.process && e.process->pReady)
                e.process->killProcess();
        }
    }

    static void insert(const std::string &values)
    {
        testenv::psql("INSERT INTO managedprogram (name, path, executable, arguments, runonstart, "
                      "restartonfailure, machineid) VALUES " + values);
    }

    QString frontEndOutput()
    {
        kv::clsProcess &runner = *mp.managedPrograms.at(0).process;
        QElapsedTimer t;
        t.start();
        while (!runner.outText.contains(QStringLiteral("$$finished$$")) && t.elapsed() < 10000) {
            runner.getOutput();
            QThread::msleep(5);
        }
        return runner.outText;
    }
};

TEST_F(Loading, NoRowGivesTheDefaultFrontEndStartedThroughItsScript)
{
    insert("('Reader', '/opt', 'reader', '', true, true, 42)");
    ASSERT_EQ(mp.loadManagedPrograms(shellConf), Outcome::Continue);
    ASSERT_EQ(mp.managedPrograms.size(), 1u);
    const kv::ManagedProgram &front = mp.managedPrograms[0];
    EXPECT_EQ(front.id, 0);
    EXPECT_EQ(front.name, QStringLiteral("Korvantis"));
    EXPECT_EQ(front.executable, QStringLiteral("run.sh"));
    EXPECT_EQ(front.path, dir.appPath());
    EXPECT_TRUE(front.runOnStart);
    EXPECT_FALSE(front.restartOnFailure);
    EXPECT_EQ(frontEndOutput(), QStringLiteral("front:-v|front:stationid=41|$$finished$$\r\n"));
}

TEST_F(Loading, FrontEndRowFillsEntryZeroAndTheLastOneWins)
{
    insert("('Old till', '/nowhere', 'korvantis.exe', 'ignored', true, true, 41),"
           "('Till', " + sqlText(dir.path()) + ", 'DralFrontEnd.EXE', '--kiosk \"two words\"', false, false, 41)");
    ASSERT_EQ(mp.loadManagedPrograms(shellConf), Outcome::Continue);
    ASSERT_EQ(mp.managedPrograms.size(), 1u);
    const kv::ManagedProgram &front = mp.managedPrograms[0];
    EXPECT_NE(front.id, 0);
    EXPECT_EQ(front.name, QStringLiteral("Till"));
    EXPECT_EQ(front.path, dir.appPath());
    EXPECT_EQ(front.arguments, QStringLiteral("--kiosk \"two words\""));
    EXPECT_EQ(front.executable, QStringLiteral("run.sh"));
    EXPECT_FALSE(front.runOnStart);
    // Started whatever its run-on-start says, with its row's arguments.
    EXPECT_EQ(frontEndOutput(),
              QStringLiteral("front:--kiosk|front:two words|front:-v|front:stationid=41|$$finished$$\r\n"));
}

TEST_F(Loading, OtherRowsInDatabaseOrderWithTheirFlags)
{
    const QString helpers = QFileInfo(QString::fromUtf8(childhelpers::kv_child_exit_after)).absolutePath();
    insert("('Reader', " + sqlText(helpers) + ", 'kv_child_exit_after', '60000', true, NULL, 41),"
           "('Idle', '', 'kv_child_echo', NULL, false, false, 41),"
           "('Scale', " + sqlText(helpers + QStringLiteral("/")) + ", 'kv_child_exit_after', '60000', NULL, true, 41),"
           "('Other station', '/x', 'kv_child_echo', '', true, true, 7),"
           "('Broken', " + sqlText(dir.path()) + ", 'missing-program', '', true, true, 41)");
    prompter.expectMessage(QStringLiteral("Failed to create process: \"") + dir.appPath() +
                               QStringLiteral("missing-program\"  -v stationid=41 in ") + dir.appPath() +
                               QStringLiteral("."),
                           kv::MsgButtons::OK, kv::MsgResult::OK);
    ASSERT_EQ(mp.loadManagedPrograms(shellConf), Outcome::Continue);
    prompter.verifyDone();
    ASSERT_EQ(mp.managedPrograms.size(), 5u);

    const auto &reader = mp.managedPrograms[1];
    EXPECT_EQ(reader.name, QStringLiteral("Reader"));
    EXPECT_EQ(reader.path, helpers + QStringLiteral("/"));
    EXPECT_TRUE(reader.runOnStart);
    EXPECT_TRUE(reader.restartOnFailure) << "NULL counts as restart";
    ASSERT_TRUE(reader.process);
    EXPECT_TRUE(reader.process->pReady);

    const auto &idle = mp.managedPrograms[2];
    EXPECT_EQ(idle.path, dir.appPath()) << "an empty path is the application directory";
    EXPECT_EQ(idle.arguments, QString());
    EXPECT_FALSE(idle.restartOnFailure);
    EXPECT_TRUE(!idle.process || !idle.process->pReady);

    const auto &scale = mp.managedPrograms[3];
    EXPECT_EQ(scale.path, helpers + QStringLiteral("/")) << "one trailing slash, not two";
    EXPECT_FALSE(scale.runOnStart) << "NULL does not run on start";
    EXPECT_TRUE(scale.restartOnFailure);
    EXPECT_TRUE(!scale.process || !scale.process->pReady);

    // A start that fails while loading is recorded for a restart.
    const auto &broken = mp.managedPrograms[4];
    EXPECT_TRUE(broken.awaitingRestart);
    EXPECT_EQ(broken.failureCount, 1);
    EXPECT_EQ(broken.failedAt, clock.now());
}

TEST_F(Loading, UnwritableRunScriptEndsTheLauncher)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("run.sh")));
    prompter.expectMessage(
        QStringLiteral("You do not have sufficient rights to create a run file. Please restart as Administrator."),
        kv::MsgButtons::OK, kv::MsgResult::OK, std::nullopt, kv::MsgIcon::Information, true);
    EXPECT_EQ(mp.loadManagedPrograms(shellConf), Outcome::LauncherEnds);
    ASSERT_EQ(prompter.shownMessages().size(), 1);
    EXPECT_TRUE(prompter.shownMessages().first().title.startsWith(QStringLiteral("Korvantis Launcher - ")));
}

TEST_F(Loading, IdBeyondWhatTheLauncherHoldsIsAClearError)
{
    testenv::psql("INSERT INTO managedprogram (id, name, executable, machineid) VALUES (40000, 'Big', 'x', 41)");
    try {
        mp.loadManagedPrograms(shellConf);
        FAIL() << "loading should fail";
    } catch (const kv::odbc::Error &e) {
        EXPECT_TRUE(e.description().contains("40000") && e.description().contains("Big"))
            << e.description().toStdString();
    }
}

// The id goes into SQL as it is: only a whole number may reach the server.
TEST_F(Loading, StationIdThatIsNotAWholeNumberLoadsNothing)
{
    insert("('Mine', '/x', 'kv_child_echo', '', false, true, 41),"
           "('Other station', '/x', 'kv_child_echo', '', false, true, 7)");
    for (const char *id : {"7 OR 1=1", "", "+41"}) {
        shellConf.stationid = QString::fromUtf8(id);
        EXPECT_THROW(mp.loadManagedPrograms(shellConf), kv::odbc::Error) << id;
        EXPECT_TRUE(mp.managedPrograms.empty()) << id;
    }
    shellConf.stationid = QStringLiteral("041");
    ASSERT_EQ(mp.loadManagedPrograms(shellConf), Outcome::Continue);
    ASSERT_EQ(mp.managedPrograms.size(), 2u);
    EXPECT_EQ(mp.managedPrograms[1].name, QStringLiteral("Mine"));
}

} // namespace
