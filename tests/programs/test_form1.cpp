// The program manager's logic against the real cluster: what selections, edits
// and Add leave in managedprogram, real children, a server gone mid-typing.
#include "form1station.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

#include <optional>

using form1test::rowOf;
using form1test::rows;

namespace {

class Form1Test : public ::testing::Test, protected form1test::Station {
protected:
    const kv::Form1Controls &ui = form.controls();

    void SetUp() override
    {
        standardStation();
        form.Form_Load();
    }

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

// Each step may write the selected row and no other; what it writes is the
// entry as it stands, whatever the row held before.
TEST_F(Form1Test, SelectingAndEditingWriteTheSelectedRowAsTypedAndNoOtherRow)
{
    const auto onlyRowOneWritten = [&](std::map<int, std::string> before) {
        EXPECT_EQ(rows().at(id(1)), rowOf(mp.managedPrograms[1]));
        before[id(1)] = rows().at(id(1));
        EXPECT_EQ(rows(), before);
    };
    testenv::psql("UPDATE managedprogram SET arguments = 'elsewhere'");
    auto before = rows();
    form.lstPrograms_Click(1);
    onlyRowOneWritten(before);
    EXPECT_EQ(ui.txtWorking, mp.managedPrograms[1].path) << "no second slash";
    struct Case {
        void (kv::Form1::*handler)(const QString &);
        QString typed;
        QString kv::ManagedProgram::*field;
        QString stored;
    };
    const QString odd = QStringLiteral("C:\\Till\\it's \\'x\\' \\\\ ''");
    const Case cases[] = {
        {&kv::Form1::txtWorking_Change, "/opt/till", &kv::ManagedProgram::path, "/opt/till/"},
        {&kv::Form1::txtWorking_Change, "", &kv::ManagedProgram::path, ""},
        {&kv::Form1::txtWorking_Change, odd + "/", &kv::ManagedProgram::path, odd + "/"},
        {&kv::Form1::txtArgs_Change, odd, &kv::ManagedProgram::arguments, odd},
        {&kv::Form1::txtPPath_Change, odd, &kv::ManagedProgram::executable, odd},
        {&kv::Form1::txtPName_Change, "Tom's reader \\", &kv::ManagedProgram::name, "Tom's reader \\"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        before = rows();
        (form.*c.handler)(c.typed);
        EXPECT_EQ(mp.managedPrograms[1].*c.field, c.stored);
        onlyRowOneWritten(before);
    }
    form.txtWorking_Change(QStringLiteral("/opt/x"));
    EXPECT_EQ(ui.txtWorking, QStringLiteral("/opt/x")) << "the box keeps what was typed";
    before = rows();
    form.chkROS_Click(true);
    form.chkROF_Click(false);
    onlyRowOneWritten(before);
    EXPECT_TRUE(mp.managedPrograms[1].runOnStart && !mp.managedPrograms[1].restartOnFailure);
    EXPECT_TRUE(ui.status.isEmpty()) << ui.status.toStdString();
}

TEST_F(Form1Test, AddAppendsANewProgramOfTheStationUnlessItsIdIsTooBig)
{
    form.lstPrograms_Click(2);
    auto before = rows();
    form.cmdAdd_Click();
    ASSERT_EQ(mp.managedPrograms.size(), 4u);
    const kv::ManagedProgram &added = mp.managedPrograms.back();
    before[added.id] = "New Program||||t|t|41"; // the table's defaults for the flags
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(rowOf(added), before[added.id]);
    EXPECT_EQ(ui.lstPrograms.last(), QStringLiteral("New Program"));
    EXPECT_EQ(ui.selectedRow, 0);

    testenv::psql("SELECT setval('managedprogram_id_seq', 32767)");
    before = rows();
    prompter.expectMessage("The program was not added: the database gave it the number 32768, and the launcher "
                           "can hold program numbers up to 32767 only. Ask your administrator to renumber the "
                           "programs.",
                           kv::MsgButtons::OK, kv::MsgResult::OK, QString("Korvantis Launcher"));
    form.cmdAdd_Click();
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(mp.managedPrograms.size(), 4u);
}

TEST_F(Form1Test, RunStartsTheCommandLineAndResetsTheCountStopRecordsNothing)
{
    mp.managedPrograms[1].failureCount = 3;
    form.lstPrograms_Click(1);
    EXPECT_EQ(ui.chkROFCaption, QStringLiteral("Restart on Failure:3"));
    form.cmdRun_Click();
    EXPECT_EQ(mp.managedPrograms[1].failureCount, 0);
    EXPECT_EQ(ui.chkROFCaption, QStringLiteral("Restart on Failure:0"));
    // The echo helper prints each argument it was given on a line.
    ASSERT_TRUE(superviseUntil([&] { return !mp.managedPrograms[1].process->pReady; }));
    EXPECT_EQ(ui.txtOutput, QStringLiteral("hello\n-v\nstationid=41\n"));
    EXPECT_TRUE(ui.cmdRunEnabled) << "the end refreshed the buttons";
    clock.advanceMs(11000);
    mp.superviseManagedPrograms();
    EXPECT_TRUE(!ui.cmdRunEnabled && ui.cmdStopEnabled) << "and so did the restart";
    EXPECT_EQ(ui.chkROFCaption, QStringLiteral("Restart on Failure:1"));

    form.lstPrograms_Click(2);
    form.cmdRun_Click();
    ASSERT_TRUE(superviseUntil([&] { return ui.txtOutput.startsWith(QStringLiteral("running ")); }));
    form.cmdStop_Click(); // the buttons after Stop: the window test
    for (int pass = 0; pass < 3; ++pass) {
        clock.advanceMs(20000);
        mp.superviseManagedPrograms();
    }
    EXPECT_FALSE(mp.managedPrograms[2].process->pReady) << "not restarted";
    EXPECT_EQ(mp.managedPrograms[2].failureCount, 0);
}

TEST_F(Form1Test, AStoppedServerIsReportedOnceAndTheEditsReachItLater)
{
    form.lstPrograms_Click(1);
    QStringList reports;
    form.setOnChanged([&] {
        if (reports.isEmpty() || reports.last() != ui.status)
            reports << ui.status;
    });
    // A restart between two keystrokes goes unnoticed.
    form.txtArgs_Change(QStringLiteral("-"));
    testenv::pgctl("restart");
    form.txtArgs_Change(QStringLiteral("--"));
    EXPECT_EQ(rows().at(id(1)), rowOf(mp.managedPrograms[1]));
    EXPECT_TRUE(reports.isEmpty());

    // Started again whatever happens below, so that no later test finds it down.
    struct Stopped {
        Stopped() { testenv::pgctl("stop"); }
        ~Stopped() { testenv::pgctl("start"); }
    };
    auto down = std::make_optional<Stopped>();
    for (const char *typed : {"--f", "--fa", "--fast"}) {
        form.txtArgs_Change(typed);
        clock.advanceMs(kv::Form1::kMaxRetryDelayMs); // each keystroke tries again
    }
    form.lstPrograms_Click(2);
    form.txtPName_Change(QStringLiteral("Scales"));
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].startsWith(QStringLiteral("Changes not saved yet: "))) << reports[0].toStdString();
    EXPECT_EQ(mp.managedPrograms[1].arguments, QStringLiteral("--fast"));
    // Quitting now tries once more and names what is lost.
    prompter.expectMessage(QStringLiteral("The changes to these programs could not be saved in the database:\r\n\r\n"
                                          "Reader\r\nScales\r\n\r\n%1\r\n\r\nPlease make them again in Manage "
                                          "Programs once the database answers.")
                               .arg(reports[0].mid(QStringLiteral("Changes not saved yet: ").size())),
                           kv::MsgButtons::OK, kv::MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                           kv::MsgIcon::Exclamation, true);
    form.saveBeforeQuit(true);
    prompter.verifyDone();

    down.reset();
    EXPECT_FALSE(form.retryPending()) << "too soon after the last attempt";
    form.saveBeforeQuit(true); // quitting does not wait for the pause to end
    EXPECT_FALSE(form.hasPending());
    clock.advanceMs(kv::Form1::kMaxRetryDelayMs);
    EXPECT_TRUE(form.retryPending());
    const auto after = rows();
    EXPECT_EQ(after.at(id(1)), rowOf(mp.managedPrograms[1]));
    EXPECT_EQ(after.at(id(2)), rowOf(mp.managedPrograms[2]));
    EXPECT_EQ(reports.size(), 2);
    EXPECT_EQ(ui.status, QStringLiteral("The database answers again: every change is saved."));
    form.txtArgs_Change(QStringLiteral("--fast "));
    EXPECT_EQ(ui.status, QString()) << "said once";
}

} // namespace
