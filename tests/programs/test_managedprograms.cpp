// Supervision with real children and a fake clock: ends noticed, restarts
// after the delay and never before, the front-end's end marker, stopping.
#include "programs/vbManagedPrograms.h"
#include "recordingsinks.h"

#include "childhelpers.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

using kv::ManagedProgram;
using kv::ManagedPrograms;

namespace {

struct Recorder : kv::ManagedProgramsObserver {
    QList<int> outputs, ends, restarts;
    void outputChanged(int i) override { outputs << i; }
    void entryEnded(int i) override { ends << i; }
    void restartTried(int i) override { restarts << i; }
};

class Supervision : public ::testing::Test {
protected:
    testsupport::TempAppDir dir;
    kv::AppContext ctx{dir.path(), QStringLiteral("korvantis-launcher")};
    testsupport::ScriptedPrompter prompter;
    kv::FakeClock clock{QDateTime(QDate(2026, 12, 5), QTime(9, 0))};
    kv::LauncherSettings shellConf;
    testsupport::RecordingEventLog events;
    ManagedPrograms mp{ctx, prompter, clock, shellConf, events};
    Recorder seen;

    void SetUp() override
    {
        shellConf.stationid = QStringLiteral("3");
        mp.setObserver(&seen);
    }

    void TearDown() override
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
        const QFileInfo fi(program);
        e.path = fi.absolutePath() + QLatin1Char('/');
        e.executable = fi.fileName();
        e.arguments = arguments;
        e.name = fi.fileName();
        e.restartOnFailure = restart;
        mp.managedPrograms.push_back(std::move(e));
        return mp.managedPrograms.back();
    }

    // Runs passes on real time, the fake clock standing still, until the
    // entry's end has been seen.
    void passUntilEnded(int index)
    {
        QElapsedTimer t;
        t.start();
        const int endsBefore = seen.ends.count(index);
        while (seen.ends.count(index) == endsBefore) {
            ASSERT_LT(t.elapsed(), 20000) << "entry " << index << " never ended";
            mp.superviseManagedPrograms();
            QThread::msleep(5);
        }
    }

    bool running(int index) { return mp.runnerOf(mp.managedPrograms[std::size_t(index)]).pReady; }
};

const QString kEcho = QString::fromUtf8(childhelpers::kv_child_echo);
const QString kExitAfter = QString::fromUtf8(childhelpers::kv_child_exit_after);

TEST_F(Supervision, RestartsOnTheFirstPassAtLeastElevenSecondsAfterTheEnd)
{
    // The end falls just before midnight, the restart just after.
    clock.setNow(QDateTime(QDate(2026, 12, 5), QTime(23, 58, 50)));
    add(kEcho, QStringLiteral("out:hello"), true);
    ASSERT_TRUE(mp.startProgram(0));
    // However long the child ran, the pass that finds it ended only records.
    clock.advanceMs(60'000);
    passUntilEnded(0);
    ManagedProgram &e = mp.managedPrograms[0];
    EXPECT_FALSE(running(0));
    EXPECT_TRUE(e.awaitingRestart);
    EXPECT_EQ(e.failureCount, 1);
    EXPECT_EQ(e.failedAt, clock.now());

    clock.advanceMs(10'999);
    mp.superviseManagedPrograms();
    EXPECT_FALSE(running(0)) << "restarted before 11 whole seconds";
    EXPECT_TRUE(e.awaitingRestart);

    EXPECT_TRUE(seen.restarts.isEmpty());
    clock.advanceMs(1);
    mp.superviseManagedPrograms();
    EXPECT_EQ(seen.restarts, QList<int>{0}) << "the window is told, to show it running";
    EXPECT_FALSE(e.awaitingRestart);
    EXPECT_FALSE(e.failedAt.isValid());
    EXPECT_EQ(e.failureCount, 1) << "a successful restart keeps the count";
    // The restarted child is a new run: it ends again and is counted again.
    passUntilEnded(0);
    EXPECT_EQ(e.failureCount, 2);
}

TEST_F(Supervision, RestartOffLeavesAnEndedProgramEndedAndReportsByIndex)
{
    add(kEcho, QString(), false);
    add(kEcho, QStringLiteral("out:second"), false);
    ASSERT_TRUE(mp.startProgram(1));
    passUntilEnded(1);
    const ManagedProgram &e = mp.managedPrograms[1];
    EXPECT_FALSE(e.awaitingRestart);
    EXPECT_EQ(e.failureCount, 0);
    clock.advanceMs(3'600'000);
    mp.superviseManagedPrograms();
    EXPECT_FALSE(running(1));
    EXPECT_EQ(seen.ends, QList<int>{1});
    EXPECT_TRUE(seen.outputs.contains(1) && !seen.outputs.contains(0));
    EXPECT_EQ(e.process->outText, QStringLiteral("second\n-v\nstationid=3\n"));
}

TEST_F(Supervision, FailedRestartIsRecordedAndRetriedAfterAnotherDelay)
{
    ManagedProgram &e = add(dir.file(QStringLiteral("not-there")), QString(), true);
    e.awaitingRestart = true;
    e.failedAtMonotonicMs = clock.monotonicMs();
    const QString msg = QStringLiteral("Failed to create process: \"") + dir.appPath() +
                        QStringLiteral("not-there\"  -v stationid=3 in ") + dir.appPath() + QStringLiteral(".");
    prompter.expectMessage(msg, kv::MsgButtons::OK, kv::MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                           kv::MsgIcon::Exclamation, true);
    clock.advanceMs(11'000);
    mp.superviseManagedPrograms();
    EXPECT_TRUE(mp.managedPrograms[0].awaitingRestart);
    EXPECT_EQ(mp.managedPrograms[0].failureCount, 1);
    // The next attempt waits the whole delay again.
    clock.advanceMs(10'000);
    mp.superviseManagedPrograms();
    prompter.verifyDone();
}

TEST_F(Supervision, FrontEndFinishedByMarkerWhileStillRunning)
{
    const QString front = dir.file(QStringLiteral("front.sh"));
    dir.write(QStringLiteral("front.sh"), "#!/bin/sh\nprintf 'bye\\r\\n$$finished$$\\r\\n'\nexec sleep 30\n");
    QFile::setPermissions(front, QFile::permissions(front) | QFileDevice::ExeOwner);
    add(front, QString(), false);
    EXPECT_TRUE(mp.frontEndFinished()) << "never started counts as finished";
    ASSERT_TRUE(mp.startProgram(0));
    EXPECT_FALSE(mp.frontEndFinished());
    QElapsedTimer t;
    t.start();
    while (!mp.frontEndFinished() && t.elapsed() < 10000) {
        mp.superviseManagedPrograms();
        QThread::msleep(5);
    }
    EXPECT_TRUE(running(0));
    EXPECT_TRUE(mp.frontEndFinished());
}

TEST_F(Supervision, StopEndsAllButTheFrontEnd)
{
    add(kExitAfter, QStringLiteral("60000"), false);
    add(kExitAfter, QStringLiteral("60000"), true);
    add(kExitAfter, QStringLiteral("60000"), true);
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

TEST_F(Supervision, ReopenPassesOnlyTheStationId)
{
    add(kEcho, QStringLiteral("out:row-arguments"), false);
    mp.reopenFrontEnd();
    ASSERT_TRUE(running(0));
    passUntilEnded(0);
    // The echo helper prints each argument it was given on a line.
    EXPECT_EQ(mp.managedPrograms[0].process->outText, QStringLiteral("-v\nstationid=3\n"));
}

} // namespace
