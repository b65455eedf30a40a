// The station's programs with real children, a fake clock and the real database;
// the program manager's edits and Add in managedprogram, and a server gone.
#include "programs/vbRunScript.h"

#include "config/odbc.h"

#include "form1station.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <optional>

using form1test::kEcho;
using form1test::kExitAfter;
using form1test::rowOf;
using form1test::rows;
using kv::ManagedProgram;
using kv::Outcome;

namespace {

class Programs : public ::testing::Test, protected form1test::Station {
protected:
    void SetUp() override
    {
        // For loading: a front-end that says what it was given and fails;
        // run.sh prints its end marker all the same.
        program("dralfrontend.exe", "#!/bin/sh\nprintf 'front:%s|' \"$@\"\nexit 3\n");
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
               QString::asprintf("%d%d%d%d %d", e.runOnStart, e.restartOnFailure, running(index),
                                 e.awaitingRestart, int(e.failureCount));
    }

    static void insert(const QString &values)
    {
        testenv::psql("INSERT INTO managedprogram (name, path, executable, arguments, runonstart, "
                      "restartonfailure, machineid) VALUES " + values.toStdString());
    }
};

TEST_F(Programs, RestartsOnTheFirstPassAtLeastElevenSecondsAfterTheEnd)
{
    // The end falls just before midnight, the restart just after.
    clock.setNow(QDateTime(QDate(2026, 12, 5), QTime(23, 58, 50)));
    add("Echo", kEcho, "out:hello", false, true);
    ASSERT_TRUE(mp.startProgram(0));
    // However long the child ran, the pass that finds it ended only records.
    clock.advanceMs(60'000);
    ASSERT_TRUE(passUntil([&] { return !running(0); }));
    EXPECT_EQ(summary(0).section('|', 3), QStringLiteral("0101 1"));
    EXPECT_EQ(mp.managedPrograms[0].failedAt, clock.now());
    EXPECT_EQ(output(0), QStringLiteral("hello\n-v\nstationid=41\n"));

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
}

// An end is logged with how the program ended, also when a process it
// started kept its output open after it had gone.
TEST_F(Programs, AnEndIsLoggedWithItsExitStatusOrSignal)
{
    const struct {
        const char *body;
        bool restart;
        const char *line;
    } cases[] = {
        {"exit 3", true, "<4>\"P\" (p.sh) exited with status 3; restart in 11 s, failure 1"},
        {"kill -SEGV $$", false, "<5>\"P\" (p.sh) ended by signal 11 (SIGSEGV); it is not restarted"},
        {"(sleep 0.3; echo late) &\nexit 4", false, "<5>\"P\" (p.sh) exited with status 4; it is not restarted"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        mp.managedPrograms.clear();
        events.lines.clear();
        add("P", program("p.sh", QByteArray("#!/bin/sh\n") + c.body + "\n"), QString(), false, c.restart);
        ASSERT_TRUE(mp.startProgram(0));
        ASSERT_TRUE(passUntil([&] { return !running(0); }));
        EXPECT_EQ(events.lines.filter(QStringLiteral("\"P\"")).last().toStdString(), c.line);
    }
}

TEST_F(Programs, FrontEndFinishedByMarkerReopenedWithOnlyTheStationIdAndLeftRunningAtQuit)
{
    const QString front =
        program("front.sh", "#!/bin/sh\nprintf '%s|' \"$@\"\n"
                            "printf 'bye\\r\\n$$finished$$\\r\\n'\nexec sleep 30\n");
    add("Front", front, "row-arguments", false, false);
    EXPECT_TRUE(mp.frontEndFinished()) << "never started counts as finished";
    mp.reopenFrontEnd();
    EXPECT_FALSE(mp.frontEndFinished());
    ASSERT_TRUE(passUntil([&] { return mp.frontEndFinished(); }));
    EXPECT_TRUE(running(0));
    EXPECT_EQ(output(0), QStringLiteral("-v|stationid=41|bye\r\n$$finished$$\r\n"));

    add("Exit", kExitAfter, "60000", false, true);
    ASSERT_TRUE(mp.startProgram(1));
    mp.stopManagedPrograms();
    EXPECT_TRUE(running(0));
    EXPECT_FALSE(running(1));
    // Stopped on the way out is not an end to restart.
    clock.advanceMs(20'000);
    mp.superviseManagedPrograms();
    EXPECT_FALSE(running(1));
}

TEST_F(Programs, LastFrontEndRowAndOtherRowsInDatabaseOrderAndAFailedStartRetriedAfterEachDelay)
{
    const QString helpers = QFileInfo(kExitAfter).absolutePath() + QLatin1Char('/');
    insert("('Old till', '/nowhere', 'korvantis.exe', 'ignored', true, true, 41),"
           "('Reader', '" + helpers.chopped(1) + "', 'kv_child_exit_after', '60000', true, NULL, 41),"
           "('Idle', '', 'kv_child_echo', NULL, false, false, 41),"
           "('Till', '" + dir.path() + "', 'DralFrontEnd.EXE', '--kiosk \"two words\"', false, false, 41),"
           "('Scale', '" + helpers + "', 'kv_child_exit_after', '60000', NULL, true, 41),"
           "('Other station', '/x', 'kv_child_echo', '', true, true, 7),"
           "('Broken', '" + dir.path() + "', 'missing-program', '', true, true, 41)");
    const QString failed = "Failed to create process: \"" + dir.appPath() +
                           "missing-program\"  -v stationid=41 in " + dir.appPath() + ".";
    prompter.expectMessage(failed, kv::MsgButtons::OK, kv::MsgResult::OK);
    ASSERT_EQ(mp.loadManagedPrograms(shellConf), Outcome::Continue);
    prompter.verifyDone();
    ASSERT_EQ(mp.managedPrograms.size(), 5u);
    // The front-end runs through its script whatever its run-on-start says.
    EXPECT_EQ(summary(0), "Till|" + dir.appPath() + "|--kiosk \"two words\"|0010 0");
    EXPECT_EQ(mp.managedPrograms[0].executable, QStringLiteral("run.sh"));
    // NULL restarts but does not run on start; an empty path is the application directory.
    EXPECT_EQ(summary(1), "Reader|" + helpers + "|60000|1110 0");
    EXPECT_EQ(summary(2), "Idle|" + dir.appPath() + "||0000 0");
    EXPECT_EQ(summary(3), "Scale|" + helpers + "|60000|0100 0");
    EXPECT_EQ(summary(4), "Broken|" + dir.appPath() + "||1101 1");
    EXPECT_EQ(mp.managedPrograms[4].failedAt, clock.now());
    ASSERT_TRUE(passUntil([&] { return !running(0); }));
    EXPECT_EQ(output(0), "front:--kiosk|front:two words|front:-v|front:stationid=41|$$finished$$\r\n");
    EXPECT_EQ(summary(0).section('|', 3), QStringLiteral("0000 0")) << "an end without restart is not counted";

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

TEST_F(Programs, RunScriptNamesTheFrontEndFoundOrTypedReplacesTheOldScriptOrEndsTheLauncher)
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

    // No rights to write it (a directory stands where it goes): loading ends the launcher.
    ASSERT_TRUE(QFile::remove(dir.file("run.sh")) && QDir(dir.path()).mkdir("run.sh"));
    prompter.expectMessage(
        "You do not have sufficient rights to create a run file. Please restart as Administrator.",
        kv::MsgButtons::OK, kv::MsgResult::OK, std::nullopt, kv::MsgIcon::Information, true);
    EXPECT_EQ(mp.loadManagedPrograms(shellConf), Outcome::LauncherEnds);
    prompter.verifyDone();
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
    EXPECT_EQ(summary(0), "Korvantis|" + dir.appPath() + "||1010 0") << "the default: no row";
    EXPECT_EQ(mp.managedPrograms[0].id, 0);
    EXPECT_EQ(mp.managedPrograms[1].name, QStringLiteral("Mine"));

    testenv::psql("INSERT INTO managedprogram (id, name, executable, machineid) VALUES (40000, 'Big', 'x', 41)");
    EXPECT_THROW(mp.loadManagedPrograms(shellConf), kv::odbc::Error) << "an id that wrapped round";
}

class Form1Test : public Programs {
protected:
    const kv::Form1Controls &ui = form.controls();

    void SetUp() override
    {
        standardStation();
        form.Form_Load();
        settle();
    }

    // The jobs ran at their hand-over: two ticks take their findings and
    // hand over, and take, what was edited meanwhile.
    void settle()
    {
        form.tick();
        form.tick();
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
    settle();
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
        settle();
        EXPECT_EQ(mp.managedPrograms[1].*c.field, c.stored);
        onlyRowOneWritten(before);
    }
    form.txtWorking_Change(QStringLiteral("/opt/x"));
    EXPECT_EQ(ui.txtWorking, QStringLiteral("/opt/x")) << "the box keeps what was typed";
    before = rows();
    form.chkROS_Click(true);
    form.chkROF_Click(false);
    settle();
    onlyRowOneWritten(before);
    EXPECT_TRUE(mp.managedPrograms[1].runOnStart && !mp.managedPrograms[1].restartOnFailure);
    EXPECT_TRUE(ui.status.isEmpty()) << ui.status.toStdString();
}

TEST_F(Form1Test, AddAppendsANewProgramOfTheStationUnlessItsIdIsTooBig)
{
    form.lstPrograms_Click(2);
    auto before = rows();
    form.cmdAdd_Click();
    settle();
    ASSERT_EQ(mp.managedPrograms.size(), 4u);
    const kv::ManagedProgram &added = mp.managedPrograms.back();
    before[added.id] = "New Program||||t|t|41"; // the table's defaults for the flags
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(rowOf(added), before[added.id]);
    EXPECT_EQ(ui.lstPrograms.last(), QStringLiteral("New Program"));
    EXPECT_EQ(ui.selectedRow, 0);

    testenv::psql("SELECT setval('managedprogram_id_seq', 32767)");
    before = rows();
    const QString tooBig = "The program was not added: the database gave it the number 32768, and the "
                           "launcher can hold program numbers up to 32767 only. Ask your administrator to "
                           "renumber the programs.";
    prompter.expectMessage(tooBig, kv::MsgButtons::OK, kv::MsgResult::OK, QString("Korvantis Launcher"));
    form.cmdAdd_Click();
    settle();
    prompter.verifyDone();
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(mp.managedPrograms.size(), 4u);
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
    settle();
    testenv::pgctl("restart");
    form.txtArgs_Change(QStringLiteral("--"));
    settle();
    EXPECT_EQ(rows().at(id(1)), rowOf(mp.managedPrograms[1]));
    EXPECT_TRUE(reports.isEmpty());

    std::optional<testenv::ClusterStopped> down(std::in_place);
    for (const char *typed : {"--f", "--fa", "--fast"}) {
        form.txtArgs_Change(typed);
        settle();
        clock.advanceMs(kv::Form1::kMaxRetryDelayMs); // each keystroke tries again
    }
    form.lstPrograms_Click(2);
    form.txtPName_Change(QStringLiteral("Scales"));
    settle();
    const QString notSaved = QStringLiteral("Changes not saved yet: ");
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].startsWith(notSaved)) << reports[0].toStdString();
    EXPECT_EQ(mp.managedPrograms[1].arguments, QStringLiteral("--fast"));
    // Quitting now tries once more and names what is lost.
    const QString lost = "The changes to these programs could not be saved in the database:\r\n\r\nReader\r\n"
                         "Scales\r\n\r\n" + reports[0].mid(notSaved.size()) +
                         "\r\n\r\nPlease make them again in Manage Programs once the database answers.";
    prompter.expectMessage(lost, kv::MsgButtons::OK, kv::MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                           kv::MsgIcon::Exclamation, true);
    form.saveBeforeQuit(true);
    prompter.verifyDone();

    down.reset();
    form.tick();
    EXPECT_FALSE(form.jobRunning()) << "too soon after the last attempt";
    form.saveBeforeQuit(true); // quitting does not wait for the pause to end
    EXPECT_FALSE(form.hasPending());
    clock.advanceMs(kv::Form1::kMaxRetryDelayMs);
    EXPECT_TRUE(form.tick());
    const auto after = rows();
    EXPECT_EQ(after.at(id(1)), rowOf(mp.managedPrograms[1]));
    EXPECT_EQ(after.at(id(2)), rowOf(mp.managedPrograms[2]));
    EXPECT_EQ(reports.size(), 2);
    EXPECT_EQ(ui.status, QStringLiteral("The database answers again: every change is saved."));
    form.txtArgs_Change(QStringLiteral("--fast "));
    settle();
    EXPECT_EQ(ui.status, QString()) << "said once";
}

} // namespace
