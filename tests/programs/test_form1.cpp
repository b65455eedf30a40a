// The program manager's logic against the real cluster: what each edit,
// selection and Add leaves in managedprogram (and in no other row), Run and
// Stop with real children, and a server that goes away in the middle of
// typing.
#include "form1station.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

using form1test::Row;
using form1test::rowOf;
using form1test::rows;

namespace {

class Form1Test : public ::testing::Test, protected form1test::Station {
protected:
    // Supervision passes until `done` holds or ten seconds have passed.
    template <typename Pred>
    bool superviseUntil(Pred done)
    {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < 10000) {
            mp.superviseManagedPrograms();
            QThread::msleep(5);
        }
        return done();
    }
};

TEST_F(Form1Test, SelectingARowWritesThatEntryBackUnchangedAndNoOtherRow)
{
    standardStation();
    // Someone else changed every row behind the launcher's back: a write of
    // an entry shows as its row matching the entry again.
    testenv::psql("UPDATE managedprogram SET arguments = 'changed elsewhere'");
    const auto before = rows();

    form.Form_Load();
    auto after = rows();
    EXPECT_EQ(after.at(id(0)), rowOf(mp.managedPrograms[0]));
    for (int i : {1, 2})
        EXPECT_EQ(after.at(id(i)), before.at(id(i))) << "row " << i;

    form.lstPrograms_Click(2);
    after = rows();
    EXPECT_EQ(after.at(id(2)), rowOf(mp.managedPrograms[2]));
    EXPECT_EQ(after.at(id(1)), before.at(id(1))) << "the row between was never selected";
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(std::prev(after.end())->second, std::prev(before.end())->second) << "another station's row";

    // Written as they were: no second "/" on the path, nothing else moved.
    EXPECT_EQ(mp.managedPrograms[2].path, form.controls().txtWorking);
    EXPECT_FALSE(mp.managedPrograms[2].path.endsWith(QStringLiteral("//")));
    EXPECT_EQ(form.controls().txtPName, QStringLiteral("Scale"));
    EXPECT_TRUE(form.controls().chkROS);
    EXPECT_TRUE(form.controls().status.isEmpty()) << form.controls().status.toStdString();
}

TEST_F(Form1Test, EditsAreStoredAsTypedInTheSelectedRowOnly)
{
    standardStation();
    form.Form_Load();
    form.lstPrograms_Click(1);

    struct Case {
        const char *what;
        void (kv::Form1::*handler)(const QString &);
        QString typed;
        QString kv::ManagedProgram::*field;
        QString stored;
    };
    const QString quoted = QStringLiteral("C:\\Till\\it's \\'x\\' \\\\ ''");
    const Case cases[] = {
        {"path gets its slash", &kv::Form1::txtWorking_Change, QStringLiteral("/opt/till"),
         &kv::ManagedProgram::path, QStringLiteral("/opt/till/")},
        {"path with its slash", &kv::Form1::txtWorking_Change, QStringLiteral("/opt/x/"), &kv::ManagedProgram::path,
         QStringLiteral("/opt/x/")},
        {"empty path", &kv::Form1::txtWorking_Change, QString(), &kv::ManagedProgram::path, QString()},
        {"quotes and backslashes in the path", &kv::Form1::txtWorking_Change, quoted, &kv::ManagedProgram::path,
         quoted + QStringLiteral("/")},
        {"quotes and backslashes in the arguments", &kv::Form1::txtArgs_Change, quoted,
         &kv::ManagedProgram::arguments, quoted},
        {"quotes and backslashes in the file name", &kv::Form1::txtPPath_Change, quoted,
         &kv::ManagedProgram::executable, quoted},
        {"a title with a quote", &kv::Form1::txtPName_Change, QStringLiteral("Tom's reader; DROP"),
         &kv::ManagedProgram::name, QStringLiteral("Tom's reader; DROP")},
        {"a title ending in a backslash", &kv::Form1::txtPName_Change, QStringLiteral("Reader \\"),
         &kv::ManagedProgram::name, QStringLiteral("Reader \\")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const auto before = rows();
        (form.*c.handler)(c.typed);
        const kv::ManagedProgram &entry = mp.managedPrograms[1];
        EXPECT_EQ(entry.*c.field, c.stored);
        auto after = rows();
        EXPECT_EQ(after.at(id(1)), rowOf(entry));
        after[id(1)] = before.at(id(1));
        EXPECT_EQ(after, before) << "only the selected row changes";
    }
    EXPECT_EQ(form.controls().txtWorking, quoted) << "the box keeps the path as typed";

    form.chkROS_Click(true);
    form.chkROF_Click(false);
    EXPECT_EQ(rows().at(id(1)).runonstart, QStringLiteral("1"));
    EXPECT_EQ(rows().at(id(1)).restartonfailure, QStringLiteral("0"));
    EXPECT_TRUE(mp.managedPrograms[1].runOnStart);
    EXPECT_FALSE(mp.managedPrograms[1].restartOnFailure);
    EXPECT_TRUE(form.controls().status.isEmpty()) << form.controls().status.toStdString();
}

TEST_F(Form1Test, AddAppendsANewProgramOfTheStationAndSelectsRowZero)
{
    standardStation();
    form.Form_Load();
    form.lstPrograms_Click(2);
    const auto before = rows();

    form.cmdAdd_Click();

    ASSERT_EQ(mp.managedPrograms.size(), 4u);
    const kv::ManagedProgram &added = mp.managedPrograms.back();
    EXPECT_EQ(added.name, QStringLiteral("New Program"));
    EXPECT_TRUE(added.path.isEmpty() && added.executable.isEmpty() && added.arguments.isEmpty());
    EXPECT_TRUE(added.runOnStart);
    EXPECT_TRUE(added.restartOnFailure);
    EXPECT_EQ(form.controls().lstPrograms.last(), QStringLiteral("New Program"));
    EXPECT_EQ(form.controls().lstPrograms.size(), 4);
    EXPECT_EQ(form.controls().selectedRow, 0);
    EXPECT_EQ(form.controls().txtPName, QStringLiteral("Till"));

    const auto after = rows();
    ASSERT_EQ(after.size(), before.size() + 1);
    ASSERT_TRUE(after.count(added.id));
    EXPECT_FALSE(before.count(added.id));
    EXPECT_EQ(after.at(added.id), (Row{QStringLiteral("New Program"), QString(), QString(), QString(),
                                       QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("41")}));
}

TEST_F(Form1Test, AddRefusesAnIdTheLauncherCannotHoldAndChangesNothing)
{
    standardStation();
    form.Form_Load();
    testenv::psql("SELECT setval('managedprogram_id_seq', 32767)");
    const auto before = rows();
    prompter.expectMessage(QStringLiteral("The program was not added: the database gave it the number 32768, and "
                                          "the launcher can hold program numbers up to 32767 only. Ask your "
                                          "administrator to renumber the programs."),
                           kv::MsgButtons::OK, kv::MsgResult::OK, QStringLiteral("Korvantis Launcher"));

    form.cmdAdd_Click();

    EXPECT_EQ(rows(), before);
    EXPECT_EQ(mp.managedPrograms.size(), 3u);
    EXPECT_EQ(form.controls().lstPrograms.size(), 3);
}

TEST_F(Form1Test, RunStartsTheCommandLineResetsTheCountAndShowsTheOutput)
{
    standardStation();
    mp.managedPrograms[1].failureCount = 3;
    mp.managedPrograms[1].awaitingRestart = true;
    form.Form_Load();
    form.lstPrograms_Click(1);
    EXPECT_EQ(form.controls().chkROFCaption, QStringLiteral("Restart on Failure:3"));

    form.cmdRun_Click();

    EXPECT_EQ(mp.managedPrograms[1].failureCount, 0);
    EXPECT_TRUE(mp.managedPrograms[1].awaitingRestart) << "a start by hand leaves a pending restart alone";
    EXPECT_EQ(form.controls().chkROFCaption, QStringLiteral("Restart on Failure:0"));
    // The echo helper prints every argument it was given on a line.
    ASSERT_TRUE(superviseUntil([&] { return !mp.managedPrograms[1].process->pReady; }));
    EXPECT_EQ(form.controls().txtOutput, QStringLiteral("hello\n-v\nstationid=41\n"));
    EXPECT_TRUE(form.controls().cmdRunEnabled) << "the end refreshed the buttons";
    EXPECT_FALSE(form.controls().cmdStopEnabled);
}

TEST_F(Form1Test, StopEndsTheProgramAndRecordsNoFailure)
{
    standardStation();
    form.Form_Load();
    form.lstPrograms_Click(2);
    mp.managedPrograms[2].arguments = QStringLiteral("60000");
    form.cmdRun_Click();
    ASSERT_TRUE(mp.managedPrograms[2].process->pReady);
    EXPECT_FALSE(form.controls().cmdRunEnabled);
    EXPECT_TRUE(form.controls().cmdStopEnabled);
    ASSERT_TRUE(superviseUntil([&] { return form.controls().txtOutput.startsWith(QStringLiteral("running ")); }));

    form.cmdStop_Click();

    EXPECT_FALSE(mp.managedPrograms[2].process->pReady);
    EXPECT_TRUE(form.controls().cmdRunEnabled);
    EXPECT_FALSE(form.controls().cmdStopEnabled);
    for (int pass = 0; pass < 3; ++pass) {
        clock.advanceMs(20000);
        mp.superviseManagedPrograms();
    }
    EXPECT_FALSE(mp.managedPrograms[2].process->pReady) << "not restarted";
    EXPECT_FALSE(mp.managedPrograms[2].awaitingRestart);
    EXPECT_EQ(mp.managedPrograms[2].failureCount, 0);
    EXPECT_EQ(form.controls().chkROFCaption, QStringLiteral("Restart on Failure:0"));
}

TEST_F(Form1Test, AStoppedServerIsReportedOnceAndTheEditsReachItLater)
{
    standardStation();
    form.Form_Load();
    form.lstPrograms_Click(1);
    QStringList reports;
    form.setOnChanged([&] {
        if (reports.isEmpty() || reports.last() != form.controls().status)
            reports << form.controls().status;
    });

    testenv::pgctl("stop");
    QString typed;
    for (QChar ch : QStringLiteral("--fast")) {
        typed += ch;
        form.txtArgs_Change(typed);
        clock.advanceMs(kv::Form1::kRetryDelayMs); // every keystroke tries again
    }
    form.lstPrograms_Click(2);
    form.txtPName_Change(QStringLiteral("Scales"));

    ASSERT_EQ(reports.size(), 1) << reports.join(QStringLiteral(" / ")).toStdString();
    EXPECT_TRUE(reports[0].startsWith(QStringLiteral("Changes not saved yet: "))) << reports[0].toStdString();
    EXPECT_EQ(mp.managedPrograms[1].arguments, QStringLiteral("--fast"));
    EXPECT_EQ(mp.managedPrograms[2].name, QStringLiteral("Scales"));
    EXPECT_TRUE(form.hasPending());
    EXPECT_TRUE(prompter.shownMessages().isEmpty());

    testenv::pgctl("start");
    clock.advanceMs(kv::Form1::kRetryDelayMs);
    EXPECT_TRUE(form.retryPending());
    EXPECT_FALSE(form.hasPending());
    const auto after = rows();
    EXPECT_EQ(after.at(id(1)), rowOf(mp.managedPrograms[1]));
    EXPECT_EQ(after.at(id(2)), rowOf(mp.managedPrograms[2]));
    EXPECT_EQ(reports.size(), 2);
    EXPECT_EQ(form.controls().status, QStringLiteral("The database answers again: every change is saved."));
}

TEST_F(Form1Test, AServerRestartBetweenKeystrokesGoesUnnoticed)
{
    standardStation();
    form.Form_Load();
    form.txtArgs_Change(QStringLiteral("1"));
    testenv::pgctl("restart");
    form.txtArgs_Change(QStringLiteral("12"));
    EXPECT_EQ(rows().at(id(0)).arguments, QStringLiteral("12"));
    EXPECT_TRUE(form.controls().status.isEmpty()) << form.controls().status.toStdString();
    EXPECT_FALSE(form.hasPending());
}

} // namespace
