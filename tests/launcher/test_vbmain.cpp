// Start-up, the tick and the main loop with every outside part faked but the
// client library (the station's queue rows on the test cluster) and the print
// server. What counts is what the person sees, what runs and what is printed.
#include "launcherfakes.h"

#include "station/odbc.h"
#include "launcher/stationstatus.h"
#include "config/vbWatchdog.h"
#include "../../bench/tcpproxy.h"
#include "clustersettings.h"
#include "recordingsinks.h"
#include "qtapp.h"
#include "testenv.h"
#include "testprinter.h"
#include <gtest/gtest.h>

#include <cups/cups.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

using namespace kv;
using namespace launcherfakes;

namespace {

const QString kTitle = QStringLiteral("Korvantis Launcher");
const QString kPrinterQuestion =
    QStringLiteral("If you have a receipt Esc/Pos printer, would you like to configure it now?\r\n(Must be a "
                   "specialised receipt printer. Just click on Launcher Settings in the system tray to do this at "
                   "a later date.)");
const QString kMissingPrinter = QStringLiteral(
    "Configured printer does not exist on this machine. Would you like to set up a different printer?");
const QString kQuitQuestion = QStringLiteral("Do you wish to quit all Korvantis programs? (ie. Card Reader)");
// Keys of a database only the fake answers for.
const QByteArray kDatabaseConf = "db_host = db\r\ndb_name = pos\r\ndb_username = till\r\n";

struct FakeTray final : kv::TrayIcon {
    int added = 0, removed = 0;
    bool exitAvailable = false;
    void addTrayIcon() override { ++added; }
    void removeTrayIcon() override { ++removed; }
    void setExitAvailable(bool a) override { exitAvailable = a; }
};

struct FakeDialog final : kv::SettingsDialog {
    int shown = 0;
    void showDialog() override { ++shown; }
    void unloadDialog() override {}
};

struct FakeWaitingWindow final : kv::WaitingWindow {
    int shownTimes = 0, keptShown = 0;
    bool shown = false;
    std::function<void()> onShow = [] {}, onKeep = [] {};
    void showWaiting(const QString &) override { shown = true, ++shownTimes, onShow(); }
    void keepShown() override { ++keptShown, onKeep(); }
    void hideWaiting() override { shown = false; }
};

struct FakeManager final : kv::ProgramManagerWindow {
    QList<bool> quitSaves; // what each saveBeforeQuit was given
    void showWindow() override {}
    QString saveBeforeQuit(bool mayAsk) override { return quitSaves << mayAsk, QString(); }
};

// The till's receipt printer: a queue of this program's own on the fixture's
// print server, in front of another queue's test printer. Taken away, it is
// a printer that is gone; put back enabled and accepting, as lpadmin -E puts
// a queue (asked of the print server itself: lpadmin is not on every user's
// PATH).
const std::string kQueue = "KV_Launcher_" + std::to_string(::getpid());
const QByteArray kPrinterLine = "esc_printer = " + QByteArray::fromStdString(kQueue) + "\r\n";
void putQueue(bool there)
{
    const std::string printer = "printers/" + kQueue;
    if (!there) {
        EXPECT_TRUE(testprinter::ipp(IPP_OP_CUPS_DELETE_PRINTER, printer).ok) << cupsLastErrorString();
        return;
    }
    const std::string uri =
        testprinter::ipp(IPP_OP_GET_PRINTER_ATTRIBUTES, "printers/" + testprinter::otherQueue(), "device-uri").text;
    EXPECT_TRUE(testprinter::ipp(IPP_OP_CUPS_ADD_MODIFY_PRINTER, printer, nullptr, "device-uri", {uri}).ok)
        << cupsLastErrorString();
    for (const int op : {IPP_OP_CUPS_ACCEPT_JOBS, IPP_OP_RESUME_PRINTER})
        EXPECT_TRUE(testprinter::ipp(op, printer).ok) << cupsLastErrorString();
}

// Jobs the print server took on the queue, finished ones too.
int jobsOnQueue()
{
    cups_job_t *jobs = nullptr;
    const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, kQueue.c_str(), 0, CUPS_WHICHJOBS_ALL);
    cupsFreeJobs(n, jobs);
    return n;
}

// Statements on a session of the test's own, as another program's.
void exec(PGconn *session, const std::string &sql)
{
    PGresult *result = PQexec(session, sql.c_str());
    EXPECT_NE(PQresultStatus(result), PGRES_FATAL_ERROR) << PQerrorMessage(session);
    PQclear(result);
}

// The library's look at the waiting count fails as a cancelled statement
// does: the queue's table is held locked until the count waits for it, which
// is then cancelled, and the lock goes with the commit, so what the job runs
// after it finds the queue as it was. On a thread of its own, as the job may
// run on the test's.
class CountFails {
public:
    CountFails() : m_session(testenv::connect("kvheldqueue"))
    {
        exec(m_session.get(), "BEGIN; LOCK TABLE poscommands");
        m_thread = std::thread([this] {
            const std::string waiting = " FROM pg_stat_activity WHERE application_name = 'draldb' AND "
                                        "wait_event_type = 'Lock' AND query LIKE 'Select count(*)%'";
            m_waited = testenv::pollUntil([&] { return testenv::psql("SELECT count(*)" + waiting) != "0\n"; },
                                          std::chrono::seconds(4));
            exec(m_session.get(), "SELECT pg_cancel_backend(pid)" + waiting + "; COMMIT");
        });
    }
    ~CountFails()
    {
        m_thread.join();
        EXPECT_TRUE(m_waited) << "the library's count never waited for the queue";
    }

private:
    testenv::Session m_session;
    std::thread m_thread;
    bool m_waited = false;
};

class LauncherTest : public ::testing::Test, protected LauncherRig {
protected:
    void SetUp() override
    {
        testsupport::qtApp<QCoreApplication>();
        // The library's configuration: the cluster, and the station whose
        // queue rows are the case's.
        station = 3;
        writeFrontEndConf();
        testenv::psql("DELETE FROM poscommands WHERE stationid = 3");
        putQueue(true);
        writeShellConf(kPrinterLine, kDatabaseConf + "db_password = \r\n");
        processes.add({200, std::string("/opt/kv/korvantis-launcher"), {}, true});
        processes.add({300, std::string("/usr/bin/other"), {}, true});
    }

    // A fresh launcher; the previous one and earlier cases' records go.
    Launcher &make(bool previousInstance = false, kv::StartupDatabase *db = nullptr)
    {
        launcher.reset();
        spawner.started.clear();
        database.schemaLooks = 0;
        tray = {};
        dialog = {};
        waiting = {};
        launcher = std::make_unique<Launcher>(parts(previousInstance, db));
        launcher->state.windows.tray = &tray;
        launcher->state.windows.settingsDialog = &dialog;
        launcher->state.windows.waitingWindow = &waiting;
        return *launcher;
    }

    // A launcher that got through start-up with printing on.
    Launcher &running()
    {
        Launcher &l = make();
        EXPECT_EQ(l.Main(), Outcome::Continue);
        EXPECT_TRUE(l.state.launcherRunning && l.state.escPosEnabled);
        return l;
    }

    // Another program's statements: a till queueing rows, a NOTIFY.
    void sql(const std::string &statement) { exec(m_session.get(), statement); }
    // A NOTIFY that is on the launcher's library socket when this returns.
    void notify(const std::string &channel)
    {
        sql("NOTIFY " + channel);
        pollfd socket{draldb.draldb_socket(launcher->state.libraryConnection), POLLIN, 0};
        EXPECT_EQ(::poll(&socket, 1, 5000), 1) << channel << " did not arrive";
    }
    static void TearDownTestSuite() { putQueue(false); }
    // The front-end ends, and the pass before the next tick has seen it.
    void endFrontEnd(Launcher &l)
    {
        spawner.started.back()->running = false;
        l.state.managedPrograms.superviseManagedPrograms();
    }

    testenv::Session m_session = testenv::connect("kvlaunchertest");
    FakeTray tray;
    FakeDialog dialog;
    FakeWaitingWindow waiting;
    std::unique_ptr<Launcher> launcher;
    // What the queue prints.
    testprinter::TestPrinter paper{testprinter::otherQueue()};
};

// Start-up from shell.conf to the running till, one row at a time: what it is
// given, the box the person answers, and where it stops. It checks the
// database until it answers; a newer copy first waits for the older one to
// settle, then ends it (and nothing else). "none" for the printer lives in
// memory only: the next start asks again. An update started ends the launcher
// with status 0, a station that cannot be set up or a database error nobody
// handled with 1; told to end during a look, it ends with no box and looks no
// more. A settings dialog completed with OK reruns start-up; closed, it ends
// a launcher that never ran and leaves a running one running. The session of
// the look that found the database usable serves the steps right after it;
// when start-up stops at a question before them, it does not stay open behind
// the settings dialog.
TEST_F(LauncherTest, StartUpStopsWhereItMust)
{
    struct Box {
        QString text;
        MsgButtons buttons;
        MsgResult answer;
        QString title = kTitle;
        // The launcher's own boxes, which stay above every window.
        std::optional<MsgIcon> icon;
        int defaultButton = 0;
    };
    const auto question = [](const QString &text, MsgResult answer, int defaultButton) {
        return Box{text, MsgButtons::YesNo, answer, kTitle, MsgIcon::None, defaultButton};
    };
    const auto ok = [](const QString &text, const QString &title, std::optional<MsgIcon> icon = {}) {
        return Box{text, MsgButtons::OK, MsgResult::OK, title, icon, 0};
    };
    const auto shellConf = [&](const QByteArray &conf) {
        return [&, conf] { dir.write(QStringLiteral("shell.conf"), conf); };
    };
    kv::OdbcStartupDatabase odbc(ctx, clock);
    const auto endAtLook = [&](int n) {
        database.duringLook = [&, n] {
            if (database.schemaLooks == n)
                launcher->terminate();
        };
    };
    const qint32 down = -2147467259;
    const QByteArray missing = "esc_printer = KV_Gone\r\n";
    const struct {
        const char *what;
        std::function<void()> given = [] {};
        QByteArray printerLine = kPrinterLine;
        std::optional<Box> box = {};
        bool previous = false;
        kv::StartupDatabase *db = nullptr;
        int looks = 1;
        qint64 sleptMs = 0;
        bool dialog = false, printing = false, completes = false;
        int endsWith = -1;
    } rows[] = {
        {.what = "no host, completed", .given = shellConf("db_name = pos\r\ndb_username = till\r\n"), .looks = 0,
         .dialog = true, .completes = true},
        {.what = "no name", .given = shellConf("db_host = db\r\ndb_username = till\r\n"), .looks = 0, .dialog = true},
        {.what = "no user", .given = shellConf("db_host = db\r\ndb_name = pos\r\ndb_password = secret\r\n"),
         .looks = 0, .dialog = true},
        {.what = "up at the third", .given = [&] { database.schemaResults = {-1, 1, 0}; }, .looks = 3,
         .sleptMs = 10000, .printing = true},
        {.what = "down", .given = [&] { database.schemaResults = {down}; },
         .box = ok(QStringLiteral("no server"), QStringLiteral("Error connecting to database")),
         .looks = 6, .sleptMs = 25000, .dialog = true},
        {.what = "ended during the last look at a server that is down",
         .given = [&] { database.schemaResults = {down}, endAtLook(6); }, .looks = 6, .sleptMs = 25000,
         .endsWith = 0},
        {.what = "ended during the first look at one too old",
         .given = [&] { database.schemaVersion = kv::database::kLowestSchemaVersion - 1, endAtLook(1); },
         .endsWith = 0},
        {.what = "update started", .given = [&] { update.result = Outcome::LauncherEnds; }, .endsWith = 0},
        {.what = "station cannot be set up",
         .given = [&] { database.setupRefusal = QStringLiteral("Permission denied"); },
         .box = ok(QStringLiteral("No rights."), QStringLiteral("Korvantis Launcher - Permission denied")),
         .endsWith = 1},
        {.what = "database error",
         .given = [&] {
             database.loadThrows = [] {
                 throw kv::odbc::Error(kv::odbc::kProviderError, QStringLiteral("ERROR: no managedprogram"));
             };
         },
         .box = ok(QStringLiteral("Run-time error '-2147467259':\r\n\r\nERROR: no managedprogram"), kTitle,
                   MsgIcon::Critical),
         .endsWith = 1},
        {.what = "printer unset, no print server",
         .given = [&] { spooler = kv::platform::CupsSpooler(testenv::require("KV_CUPS_STATEDIR") + "/gone"); },
         .printerLine = ""},
        {.what = "printer unset, Yes", .printerLine = "", .box = question(kPrinterQuestion, MsgResult::Yes, 2),
         .dialog = true},
        {.what = "printer unset, No", .printerLine = "", .box = question(kPrinterQuestion, MsgResult::No, 2)},
        {.what = "printer missing, Yes", .printerLine = missing, .box = question(kMissingPrinter, MsgResult::Yes, 1),
         .dialog = true},
        {.what = "printer missing, No", .printerLine = missing, .box = question(kMissingPrinter, MsgResult::No, 1)},
        {.what = "printer none", .printerLine = "esc_printer = none\r\n"},
        // Without the client library (its login refused) the till runs with printing off.
        {.what = "library refused",
         .given = [&] { writeFrontEndConf(databaseKeys({}, {}, testenv::database().user, QStringLiteral("wrong"))); },
         .box = ok(QStringLiteral("ESC/POS database connection failed, running with ESC/POS disabled."), kTitle,
                   MsgIcon::Exclamation)},
        {.what = "the cluster's database, printer missing, Yes",
         .given =
             [&] {
                 testenv::psql("DELETE FROM config; INSERT INTO config (schemaversion) VALUES (90)");
                 writeShellConf("stationid = 4242\r\n" + missing);
             },
         .printerLine = missing, .box = question(kMissingPrinter, MsgResult::Yes, 1), .db = &odbc, .looks = 0,
         .dialog = true},
        {.what = "newer copy, up for the last, error-showing check",
         .given = [&] { database.schemaResults = {1, 1, 1, 1, 1, 0}; }, .previous = true, .looks = 6,
         .sleptMs = 29000, .printing = true},
    };
    for (const auto &c : rows) {
        SCOPED_TRACE(c.what);
        const bool running = !c.dialog && c.endsWith < 0;
        Launcher &l = make(c.previous, c.db);
        database = FakeDatabase(), update = FakeUpdate(), clock = kv::FakeClock();
        spooler = kv::platform::CupsSpooler();
        // The fixture's shell.conf has an empty password: that is enough.
        writeShellConf(c.printerLine, kDatabaseConf + "db_password = \r\n");
        writeFrontEndConf();
        c.given();
        if (c.box)
            prompter.expectMessage(c.box->text, c.box->buttons, c.box->answer, c.box->title, c.box->icon,
                                   c.box->icon ? std::optional<bool>(true) : std::nullopt);
        int endedWith = -1;
        QObject::connect(&l, &Launcher::launcherEnded, [&](int s) { endedWith = s; });
        EXPECT_EQ(l.Main(), c.endsWith < 0 ? Outcome::Continue : Outcome::LauncherEnds);
        prompter.verifyDone();
        EXPECT_TRUE(!c.box || !c.box->defaultButton ||
                    prompter.shownMessages().back().defaultButton == c.box->defaultButton);
        EXPECT_EQ(database.schemaLooks, c.looks);
        EXPECT_EQ(clock.totalSleptMs(), c.sleptMs);
        EXPECT_EQ(dialog.shown, c.dialog ? 1 : 0);
        EXPECT_EQ(l.state.launcherRunning, running);
        EXPECT_EQ(l.state.escPosEnabled && running, c.printing);
        EXPECT_EQ(spawner.started.empty(), !running);
        EXPECT_EQ(tray.added, running ? 1 : 0);
        EXPECT_EQ(tray.exitAvailable, running);
        EXPECT_EQ(processes.running(200), !c.previous);
        EXPECT_TRUE(processes.running(300));
        EXPECT_EQ(l.state.shellConf.esc_printer == QStringLiteral("none"), running && c.printerLine != kPrinterLine);
        EXPECT_TRUE(c.printerLine != missing || !dir.read(QStringLiteral("shell.conf")).contains("none"));
        // Each look may block on the login: the person sees what start-up
        // waits for, and nothing when it does not wait.
        EXPECT_TRUE(c.endsWith >= 0 || waiting.shownTimes == (c.looks > 1 ? 1 : 0));
        EXPECT_FALSE(waiting.shown);
        EXPECT_GE(waiting.keptShown, (c.sleptMs - (c.previous ? 4000 : 0)) / 250) << "a quarter second unpainted";
        EXPECT_EQ(endedWith, c.endsWith);
        EXPECT_EQ(l.state.exitStatus, std::max(c.endsWith, 0));
        const auto noSchemaSession = [] {
            return testenv::psql("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                                 "AND pid <> pg_backend_pid() AND query LIKE 'SELECT schemaversion%'") == "0\n";
        };
        EXPECT_TRUE(!c.db || testenv::pollUntil(noSchemaSession, std::chrono::seconds(3))) << "a session left open";
        const auto hooks = l.settingsDialogHooks();
        if (c.completes) {
            writeShellConf(kPrinterLine, kDatabaseConf);
            hooks.runMain();
            EXPECT_TRUE(l.state.launcherRunning);
        }
        hooks.closedWithoutChoice();
        EXPECT_EQ(l.state.ended, !l.state.launcherRunning);
        EXPECT_EQ(l.state.exitStatus, std::max(c.endsWith, 0));
    }
    // The launcher holds the database: it goes first.
    launcher.reset();
}

// The look at the database never runs on the window thread: one that hangs
// on the login puts the waiting window up and keeps it painted until it
// answers; with no thread to be had it fails as a look at a server that does
// not answer would.
TEST_F(LauncherTest, TheLookRunsOffTheWindowThread)
{
    struct RefusingWorker final : kv::Worker {
        bool start(std::function<void()>) override { return false; }
        bool busy() const override { return false; }
        bool waitIdle(int) override { return true; }
        void abandon() override {}
    } refusing;
    for (const bool threadToBeHad : {true, false}) {
        SCOPED_TRACE(threadToBeHad);
        kv::ThreadWorker worker;
        libraryWorker = threadToBeHad ? static_cast<kv::Worker *>(&worker) : &refusing;
        if (!threadToBeHad)
            prompter.expectMessage(QStringLiteral("the launcher could not start the look at the database"),
                                   MsgButtons::OK, MsgResult::OK, QStringLiteral("Error connecting to database"));
        Launcher &l = make();
        std::atomic<bool> windowUp{false}, repainted{false};
        waiting.onShow = [&] { windowUp = true; };
        waiting.onKeep = [&] { repainted = windowUp.load(); };
        // The look answers once the window is up and painted again, or
        // fails the test after 5 s.
        database.duringLook = [&] { testenv::pollUntil([&] { return repainted.load(); }, std::chrono::seconds(5)); };
        EXPECT_EQ(l.Main(), Outcome::Continue);
        prompter.verifyDone();
        EXPECT_TRUE(repainted || !threadToBeHad);
        EXPECT_FALSE(waiting.shown);
        EXPECT_EQ(database.schemaLooks, threadToBeHad ? 1 : 0) << "a look ran on the window thread";
        EXPECT_EQ(dialog.shown, threadToBeHad ? 0 : 1);
        EXPECT_EQ(l.state.launcherRunning, threadToBeHad);
        // The launcher holds the worker: it goes first.
        launcher.reset();
    }
}

// One check at start-up, then one per eleven ticks; it ends a newer copy of
// the launcher and brings back a front-end that was kept closed.
TEST_F(LauncherTest, PeriodicCheckEndsANewcomerAndBringsBackAClosedFrontEnd)
{
    for (const bool frontEndClosedBefore : {false, true}) {
        SCOPED_TRACE(frontEndClosedBefore);
        processes.add({500, std::string("/opt/kv/korvantis-launcher"), {}, true});
        Launcher &l = running();
        // The start-up's own look found 200 too; here only the newcomer runs.
        processes.terminate(200);
        if (frontEndClosedBefore) {
            endFrontEnd(l);
            prompter.expectMessage(kQuitQuestion, MsgButtons::YesNo, MsgResult::No);
        }
        const int checks = watchdog.tests;
        for (int tick = 1; tick <= 33; ++tick) {
            l.mainTick();
            EXPECT_EQ(watchdog.tests - checks, tick / 11) << "tick " << tick;
            EXPECT_EQ(processes.running(500), tick < 11) << "tick " << tick;
            EXPECT_EQ(l.state.frontEndClosed, frontEndClosedBefore && tick < 11) << "tick " << tick;
        }
        prompter.verifyDone();
        EXPECT_EQ(tray.exitAvailable, !frontEndClosedBefore);
        EXPECT_EQ(spawner.started.size(), frontEndClosedBefore ? 2u : 1u);
    }
}

// The front-end ended, or the system's shutdown was notified: the launcher
// asks what goes with it. Keeping the card reader and the rest on a shutdown
// leaves the front-end running, treated as ended so that Exit works. A box
// that fails with an exception ends only its tick, after the tick's database
// check; the question comes again.
TEST_F(LauncherTest, FrontEndEnd)
{
    const struct {
        const char *what; bool shutdown, marker; MsgResult updateAnswer, quitAnswer; bool quits, updates, boxFails;
    } cases[] = {
        {"shutdown, keep the rest", true, false, MsgResult::No, MsgResult::Yes, false, false, false},
        {"no marker, quit", false, false, MsgResult::No, MsgResult::Yes, true, false, false},
        {"the box fails, then keep", false, false, MsgResult::No, MsgResult::No, false, false, true},
        {"marker, update now", false, true, MsgResult::Yes, MsgResult::No, true, true, false},
        {"marker, later, keep", false, true, MsgResult::No, MsgResult::No, false, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.marker) // stays for the rows after
            dir.write(QStringLiteral("doupdate"), {});
        Launcher &l = running();
        tray.exitAvailable = false; // as after a second start reopened the front-end
        if (c.shutdown)
            notify("shutdown");
        else
            endFrontEnd(l);
        if (c.marker)
            prompter.expectMessage(QStringLiteral("Do the update now and restart Korvantis?"), MsgButtons::YesNo,
                                   c.updateAnswer, kTitle, MsgIcon::None, true);
        if (!c.updates)
            prompter.expectMessage(c.shutdown ? QStringLiteral("Do you want to keep all supporting programs open?")
                                              : kQuitQuestion,
                                   MsgButtons::YesNo, c.quitAnswer, kTitle, MsgIcon::Question, true);
        if (c.boxFails)
            prompter.onNextMessage = [] { throw std::runtime_error("the display went away"); };
        const int checks = watchdog.tests;
        // A kept front-end's end is not asked about again; a quit ends the
        // loop after the pass that acted on it.
        for (int pass = 0; pass < (c.quits ? 1 : 3); ++pass)
            l.loop.onPassTimer();
        prompter.verifyDone();
        EXPECT_EQ(watchdog.tests - checks, c.boxFails ? 1 : 0);
        for (const auto &box : prompter.shownMessages())
            EXPECT_EQ(box.defaultButton, 1);
        EXPECT_EQ(l.state.launcherRunning, !c.quits);
        EXPECT_EQ(l.state.ended, c.quits);
        EXPECT_EQ(tray.removed, c.quits ? 1 : 0);
        EXPECT_EQ(l.state.updateOnExit, c.updates);
        EXPECT_EQ(l.state.frontEndClosed, !c.quits);
        EXPECT_EQ(spawner.started.back()->running, c.shutdown);
        EXPECT_TRUE(c.quits || !l.state.managedPrograms.managedPrograms[0].process->pReady);
        EXPECT_EQ(tray.exitAvailable, !c.quits);
    }
}

// A notification does not wait for the next pass: the library's socket
// wakes the window thread and a job takes it at once. What arrives while that
// job prints (the sales of a busy minute) is taken by one job right after it,
// and each receipt prints once. "test" is only listened to.
TEST_F(LauncherTest, TheWakeTakesSalesAtOnceAndSharesABusyMinutesPasses)
{
    // Receipt n, queued and notified as a till does.
    const auto receipt = [](int n) {
        return "INSERT INTO poscommands (stationid, device, command) VALUES (3, 1, 'Wake receipt " +
               std::to_string(n) + "\n'); NOTIFY poscommands";
    };
    // Descriptors below the library's socket, let go before its session ends: the session it makes next gets
    // another number, whatever the print server's kept connection or the sanitizers open meanwhile.
    std::vector<int> below(8);
    for (int &fd : below)
        fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const qint32 connection = draldb.system_init(dir.appPath() + QStringLiteral("dralfrontend.exe"));
    ASSERT_NE(connection, 0);
    LibraryJobs library(draldb, connection, spooler, clock, inlineWorker);
    NotificationWake wake(library, {[] { return true; }, [] { return false; },
                                    [] { return QString::fromStdString(kQueue); }, Launcher::channels()});
    for (const QString &channel : Launcher::channels())
        draldb.VB_notify_listen(connection, channel);
    wake.arm();
    const auto mark = paper.mark();
    // Each pass that found receipts gives the print server one job.
    const int jobsBefore = jobsOnQueue();
    const auto jobs = [&] { return jobsOnQueue() - jobsBefore; };
    const auto settle = [&](const std::function<bool()> &until) {
        const auto looked = [&] { return QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20), until(); };
        return testenv::pollUntil(looked, std::chrono::seconds(10));
    };
    sql("NOTIFY test; " + receipt(1));
    EXPECT_TRUE(settle([&] { return jobs() == 1; }));

    // Sales that keep coming, one every 10 ms, share their passes.
    QElapsedTimer sales;
    sales.start();
    for (int n = 2; n <= 61; ++n) {
        sql(receipt(n));
        while (sales.elapsed() < (n - 1) * 10)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    EXPECT_TRUE(settle([&] { return paper.printedSince(mark).contains("Wake receipt 61\n"); }));
    EXPECT_LE(jobs(), 1 + 8) << "a pass for nearly every sale";
    const testprinter::Paper printed = testprinter::readPaper(paper.bytesSince(mark, jobs()), "Wake", 61);
    EXPECT_EQ(printed.lost, 0);
    EXPECT_EQ(printed.twice, 0);

    // The server ends the library's session (gone before a pass looks, or the pass finds it well); the passes carry
    // the reconnect, after which a sale is taken at once on the new session's socket.
    const int before = draldb.draldb_socket(connection);
    sockaddr_in local{};
    socklen_t size = sizeof local;
    ASSERT_EQ(::getsockname(before, reinterpret_cast<sockaddr *>(&local), &size), 0);
    std::for_each(below.begin(), below.end(), ::close);
    sql("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE client_port = " +
        std::to_string(ntohs(local.sin_port)));
    // As the ticks do: each takes what the last job found and hands one over.
    const auto reconnected = [&] {
        while (library.takeFindings()) {
        }
        wake.handOver();
        return draldb.draldb_socket(connection) >= 0 && !draldb.draldb_pending(connection) && !library.busy();
    };
    ASSERT_TRUE(settle(reconnected));
    ASSERT_NE(draldb.draldb_socket(connection), before);
    // Once the last hand-over's gap is over, only the socket can wake it.
    ASSERT_TRUE(settle([&] { return !wake.gapRunning(); }));
    sql(receipt(62));
    EXPECT_TRUE(settle([&] { return paper.printedSince(mark).contains("Wake receipt 62\n"); }))
        << "the wake still watches the old session's socket";
}

// The loop sleeps while nothing is due and wakes for what is: the watchdog's
// looks on their seconds and the tick after each (the look's verdict), a
// program's end as it happens, its restart eleven seconds after it, and a
// printer's look that found a change, at once.
TEST_F(LauncherTest, TheLoopSleepsUntilSomethingIsDue)
{
    spawner.piped = true;
    database.programs = {QStringLiteral("cardreader")};
    Launcher &l = make();
    FakeWatchdog writes; // the row's, kept apart from the loop's looks
    kv::StationStatus status({}, {}, clock.now(), clock, writes, inlineWorker, spooler, events, {});
    l.state.windows.status = &status;
    ASSERT_EQ(l.Main(), Outcome::Continue);
    const auto fire = [&] {
        clock.advanceMs(l.loop.nextWakeMs() - clock.monotonicMs());
        l.loop.onPassTimer();
    };
    // Up to the first eleven-second check.
    for (int guard = 0; watchdog.tests < 2 && guard < 40; ++guard)
        fire();
    ASSERT_EQ(watchdog.tests, 2);
    const qint64 check = clock.monotonicMs();
    fire();
    EXPECT_EQ(l.loop.nextWakeMs() - check, 4000) << "nothing is due until the fourth tick's look";
    // The card reader ends between two ticks.
    clock.advanceMs(1500);
    const std::shared_ptr<ChildState> reader = spawner.started.front();
    reader->end();
    const auto endSeen = [&] {
        return QCoreApplication::processEvents(), l.state.managedPrograms.managedPrograms[1].awaitingRestart;
    };
    ASSERT_TRUE(testenv::pollUntil(endSeen, std::chrono::seconds(2))) << "the end was not seen when it came";
    putQueue(false);
    std::vector<qint64> wakes;
    while (spawner.started.size() == 2 && wakes.size() < 10)
        fire(), wakes.push_back(clock.monotonicMs() - check);
    putQueue(true);
    // The eighth tick's look found the queue gone: a pass at once, which also took the watchdog's verdict.
    EXPECT_EQ(wakes, (std::vector<qint64>{4000, 5000, 8000, 8000, 11000, 12000, 13500}));
}

// While the printer is gone, every notification's pass tells the cashier
// (each is a sale waiting for its receipt) in a box that does not hold the
// loop; the launcher's own passes (at start-up, the retries) show none. Rows
// that wait are tried again once the interval has passed, not before; a look
// at the queue that fails does not end the retries, and the first retry that
// finds the printer back prints.
TEST_F(LauncherTest, PrinterOutageIsToldPerNotificationAndRetriedQuietlyUntilItPrints)
{
    queue(1, "Bon");
    Launcher &l = running();
    putQueue(false);
    const QString kPrinterBox = QStringLiteral("Could not connect to the printer.");
    const auto tick = [&](bool toldOfThePrinter, qint64 afterMs = 0) {
        clock.advanceMs(afterMs);
        if (toldOfThePrinter)
            prompter.expectMessage(kPrinterBox, MsgButtons::OK, MsgResult::OK, kTitle, MsgIcon::Critical, true);
        l.mainTick();
        prompter.verifyDone();
    };
    const qint64 retry = 4000; // rows that wait are tried again every 4 s
    // The pass at start-up finds the printer gone.
    l.mainTick();
    tick(false);
    tick(false);
    notify("poscommands");
    l.mainTick();
    tick(true);
    EXPECT_EQ(prompter.shownWithoutWaiting(), QStringList{kPrinterBox});

    // The printer is back; the rows wait for the interval to pass.
    putQueue(true);
    const int jobs = jobsOnQueue();
    const auto mark = paper.mark();
    tick(false, retry - 1);
    EXPECT_EQ(jobsOnQueue(), jobs) << "a retry before the interval had passed";
    {
        CountFails countFails;
        tick(false, 1);
    }
    tick(false, retry);
    EXPECT_TRUE(paper.bytesSince(mark, 1, std::chrono::seconds(10)).contains("Bon"));
}

// No box holds the till. A program whose file is missing is told at start-up,
// which goes on; while that box is up each failed restart raises it. The
// shutdown question left open, and sent again, is one box, while the ended
// card reader is restarted and the checks go on; its answer is acted on by
// the next tick. (A receipt printed meanwhile: the real launcher's case.)
TEST_F(LauncherTest, NoBoxHoldsTheTill)
{
    database.programs = {QStringLiteral("cardreader"), QStringLiteral("scanner")};
    spawner.missing = "scanner";
    const QString failed = QStringLiteral("Failed to create process: \"/opt/kv/scanner\"  -v stationid=3 in /opt/kv/.");
    const QString keep = QStringLiteral("Do you want to keep all supporting programs open?");
    prompter.expectOpenBox(failed, MsgButtons::OK);
    Launcher &l = running();
    ASSERT_EQ(spawner.started.size(), 2u) << "start-up stopped at the box";
    auto &scanner = l.state.managedPrograms.managedPrograms[2];
    scanner.awaitingRestart = true, scanner.failedAtMonotonicMs = clock.monotonicMs();
    prompter.expectOpenBox(keep, MsgButtons::YesNo);
    notify("shutdown");
    l.mainTick();
    l.mainTick();
    spawner.started[0]->running = false;
    notify("shutdown");
    const int checks = watchdog.tests;
    for (int tick = 0; tick < 23; ++tick, clock.advanceMs(1000))
        l.mainTick();
    prompter.verifyDone();
    EXPECT_EQ(spawner.started.size(), 3u) << "the card reader was not restarted";
    EXPECT_EQ(watchdog.tests - checks, 2);
    EXPECT_EQ(prompter.raised(keep), 1);
    EXPECT_EQ(prompter.raised(failed), 2);
    EXPECT_TRUE(l.state.launcherRunning);
    prompter.answerOpen(keep, MsgResult::No);
    l.mainTick();
    EXPECT_FALSE(l.state.launcherRunning);
}

// Rows queued while no launcher listened are printed by the first pass after
// start-up, even when its look at the queue fails, after what an earlier run
// left held is cancelled; those queued while the listens were lost, by the
// pass after listening again, every hundredth.
TEST_F(LauncherTest, StartUpAndEveryHundredPassesPrintWhatWaited)
{
    // A job of this station's that an earlier run never let go.
    const std::string name = poscommands::jobNamePrefix(QStringLiteral("3")).toStdString() + "earlier";
    auto printer = spooler.openPrinter(kQueue);
    ASSERT_TRUE(printer && printer->startDocument({name, std::nullopt, std::nullopt}) &&
                testprinter::writeAll(*printer, "left held") && printer->finishDocument());
    const int held = printer->job().id;
    printer.reset();
    const auto queueTwo = [&] { queue(2, {}), queue(2, {}); };
    queueTwo();
    int jobs = jobsOnQueue();
    Launcher &l = running();
    {
        CountFails countFails;
        l.runPass();
    }
    EXPECT_EQ(testprinter::jobState(kQueue, held), IPP_JSTATE_CANCELED);
    EXPECT_EQ(jobsOnQueue(), ++jobs);
    queueTwo();
    // The hundredth pass makes the listens due; the next one's library job
    // sends them and looks for rows.
    for (int pass = 2; pass <= 100; ++pass)
        l.runPass();
    EXPECT_EQ(jobsOnQueue(), jobs);
    l.runPass();
    EXPECT_EQ(jobsOnQueue(), ++jobs);
    queueTwo();
    for (int pass = 1; pass <= 100; ++pass)
        l.runPass();
    EXPECT_EQ(jobsOnQueue(), ++jobs) << "the next hundredth pass did not listen again";
}

// Yes to every question, as a cashier in a hurry.
struct AnsweringPrompter final : kv::Prompter {
    kv::MsgResult messageBox(const kv::MessageBox &) override { return kv::MsgResult::Yes; }
    QString inputBox(const QString &, const QString &, const QString &) override { return QString(); }
    void setBusyCursor(bool) override {}
};

// Thousands of hand-overs to a real thread while the till's role loses and
// gets back its right to read the queue, notifications, printer changes and
// clock jumps come at random, and the launcher is ended at a random tick: each ends clean, with
// no thread left. Under the thread checker this is the hand-off's test.
TEST_F(LauncherTest, ThousandsOfHandOversToASlowLibraryEndCleanly)
{
    {
        // A checker's own helper thread starts with the first thread of ours.
        kv::ThreadWorker first;
        first.start([] {});
    }
    const auto threadsOfThisProcess = [] {
        return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
    };
    const auto threadsBefore = threadsOfThisProcess();
    std::mt19937 random(7);
    const auto chance = [&](int oneIn) { return std::uniform_int_distribution<int>(1, oneIn)(random) == 1; };
    queue(1, "Bon");
    const int jobs = jobsOnQueue();
    const std::string role = testenv::database().user.toStdString();
    const std::shared_ptr<void> granted(nullptr, [&](void *) { sql("GRANT SELECT ON poscommands TO " + role); });
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        kv::ThreadWorker worker;
        AnsweringPrompter answers;
        {
            launcher.reset();
            Launcher l(kv::LauncherParts{ctx, answers, clock, database, watchdog, update, killer, draldb, spooler,
                                         processes, spawner, worker, events, false});
            l.state.windows.tray = &tray;
            ASSERT_EQ(l.Main(), Outcome::Continue);
            const int endAt = std::uniform_int_distribution<int>(200, 700)(random);
            for (int tick = 0; tick < endAt; ++tick) {
                if (chance(7))
                    sql("INSERT INTO poscommands (stationid, device, command) VALUES (3, 1, 'Sale'); "
                        "NOTIFY poscommands");
                if (chance(400))
                    sql("NOTIFY shutdown");
                if (chance(25))
                    sql((chance(2) ? "REVOKE SELECT ON poscommands FROM " : "GRANT SELECT ON poscommands TO ") + role);
                if (chance(50))
                    l.state.shellConf.esc_printer = QString::fromStdString(chance(2) ? kQueue : "KV_Gone");
                clock.advanceMs(std::uniform_int_distribution<int>(0, 1500)(random));
                std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 800)(random)));
                l.runPass();
            }
            if (chance(2))
                l.menu.mnuExitClick();
            else
                l.terminate();
            l.runPass();
        }
        EXPECT_EQ(kv::ThreadWorker::jobsUnfinished(), 0) << "the launcher is gone, its job still runs";
    }
    EXPECT_LE(threadsOfThisProcess(), threadsBefore);
    // Its boxes went to a prompter of its own, not the one TearDown reads.
    events.lines.clear();
    // The hand-over really ran: jobs took notifications and printed.
    EXPECT_GT(jobsOnQueue() - jobs, 5);
}

TEST_F(LauncherTest, ExitFromTheMenuEndsTheLoopAndStopsTheOtherPrograms)
{
    testenv::psqlOn(testenv::database().name.toStdString(), "-f", KV_DATABASE_SQL);
    kv::odbc::Connection connection;
    connection.open(kv::database::buildConnectionText(testsupport::clusterSettings()));
    watchdog.connection = &connection;
    kv::InlineWorker printerWorker;
    std::unique_ptr<kv::StationStatus> status;
    const auto reporting = [&](Launcher &l) {
        status = std::make_unique<kv::StationStatus>(QStringLiteral("till3"), QStringLiteral("1"), clock.now(), clock,
                                                     watchdog, printerWorker, spooler, events,
                                                     [] { return kv::DatabaseHealth{true, 0}; });
        l.state.windows.status = status.get();
        l.runPass();
    };
    const auto stoppedAs = [] { return testenv::psql("SELECT stopped FROM launcherstatus WHERE stationid = 3"); };
    // Ended by the system, nobody may be there to read a message.
    const struct { const char *what; bool exitItem, updateAgreed; const char *stopped; } cases[] = {
        {"Exit", true, false, "exit\n"},
        {"Exit, update agreed", true, true, "update\n"},
        {"SIGTERM", false, true, "exit\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        database.programs = {QStringLiteral("cardreader")};
        // Start-up runs the update too: the last case's check is not for it.
        update.onRun = nullptr;
        Launcher &l = running();
        reporting(l);
        FakeManager manager;
        l.state.windows.programManager = &manager;
        update.runs = 0;
        // The update replaces files the programs hold: they are stopped first.
        update.onRun = [&] { EXPECT_FALSE(spawner.started[0]->running) << "the update ran beside the programs"; };
        l.state.updateOnExit = c.updateAgreed;
        // The loop sees Exit at its next pass; the way out waits for the write without holding the window thread.
        c.exitItem ? l.menu.mnuExitClick() : l.terminate();
        EXPECT_TRUE(testenv::pollUntil([&] { return QCoreApplication::processEvents(), l.state.ended; },
                                       std::chrono::seconds(3)));
        EXPECT_TRUE(spawner.started[0]->killed);
        EXPECT_EQ(update.runs, c.exitItem && c.updateAgreed ? 1 : 0);
        // Unsaved program edits get their last try, and may be told of.
        EXPECT_EQ(manager.quitSaves, QList<bool>{c.exitItem});
        EXPECT_EQ(stoppedAs(), c.stopped);
    }
}

} // namespace

// A site's database made from the package's SQL file, run twice (the second
// time over a row the site added, and adding none of its own), takes a new
// till through start-up without a single box; the till gets its id and a copy
// of the template, whose id comes from the sequence.
TEST_F(LauncherTest, AFreshDatabaseMadeFromThePackagesSqlFilePassesStartUpWithoutABox)
{
    const std::string name = "kvfresh" + std::to_string(::getpid());
    testenv::psqlOn("postgres", "-c", "CREATE DATABASE " + name + " OWNER kvtest", true);
    const std::shared_ptr<void> drop(nullptr, [&](void *) {
        testenv::psqlOn("postgres", "-c", "DROP DATABASE " + name + " WITH (FORCE)", true);
    });
    testenv::psqlOn(name, "-f", KV_DATABASE_SQL);
    testenv::psqlOn(name, "-c", "INSERT INTO managedprogram (name, executable) VALUES ('Card reader', 'cardreader')");
    testenv::psqlOn(name, "-f", KV_DATABASE_SQL);
    EXPECT_EQ(testenv::psqlOn(name, "-c", "SELECT count(*) FROM config"), "1\n");

    kv::OdbcStartupDatabase odbc(ctx, clock);
    writeShellConf("esc_printer = none\r\n", databaseKeys({}, QString::fromStdString(name)));
    dir.write(QStringLiteral("dralfrontend.exe"), {});
    Launcher &l = make(false, &odbc);
    EXPECT_EQ(l.Main(), Outcome::Continue);
    EXPECT_TRUE(l.state.launcherRunning);
    EXPECT_TRUE(prompter.shownMessages().isEmpty());
    EXPECT_EQ(l.state.shellConf.stationid, QStringLiteral("1"));
    EXPECT_EQ(testenv::psqlOn(name, "-c", "SELECT name, path FROM managedprogram WHERE machineid = 1"),
              "Card reader|" + dir.appPath().toStdString() + "\n");
    launcher.reset();
}

// The till's status row: written at once when a program's state or the
// printer's reasons change, by the watchdog's next look; an unchanged pass
// writes nothing; every second check carries the heartbeat.
TEST_F(LauncherTest, TheStatusRowIsWrittenAtOnceForAChangeAndAnUnchangedPassWritesNothing)
{
    testenv::psqlOn(testenv::database().name.toStdString(), "-f", KV_DATABASE_SQL);
    testenv::psql("DELETE FROM launcherstatus WHERE stationid = 43; INSERT INTO launcherstatus (stationid, host, "
                  "version, stopped) VALUES (43, 'till43', '0', 'update')");
    kv::LauncherSettings settings = testsupport::clusterSettings();
    settings.stationid = QStringLiteral("43");
    settings.esc_printer = QString::fromStdString(kQueue);
    kv::odbc::Connection connection;
    connection.open(kv::database::buildConnectionText(settings));
    // The look the status asks for runs its rider there and then.
    struct Looks final : kv::DatabaseWatchdog {
        kv::ConnectionRider rider;
        kv::odbc::Connection *connection = nullptr;
        // Looks refused as while another runs; writes handed over kept, not begun, while `held` is open.
        int busy = 0;
        std::optional<std::vector<std::function<void(kv::odbc::Connection &)>>> held;
        bool testDatabaseConnection(const kv::LauncherSettings &) override { return false; }
        bool probeDatabaseConnection(const kv::LauncherSettings &) override
        {
            if (busy > 0 && busy--)
                return false;
            if (const auto write = rider.take())
                held ? held->push_back(write) : write(*connection);
            return true;
        }
        qint32 applyDatabaseTest() override { return 0; }
        void setDbConnectionUp(bool) override {}
    } looks;
    looks.connection = &connection;
    kv::StationStatus status(QStringLiteral("till43"), QStringLiteral("1"), clock.now(), clock, looks, inlineWorker,
                             spooler, events, [] { return kv::DatabaseHealth{true, 0}; });
    looks.rider = status.rider();
    int woken = 0;
    status.setPrinterChanged([&] { ++woken; });
    std::vector<kv::ManagedProgram> programs(1);
    programs[0].name = QStringLiteral("Card reader");
    programs[0].process = std::make_unique<kv::clsProcess>(prompter);
    programs[0].process->pReady = true;
    // The tick's check, and the look it hands over.
    const auto check = [&] { status.checkDue(), looks.probeDatabaseConnection(settings); };

    struct Step {
        const char *what;
        std::function<void()> change;
        int passes, writes;
    };
    const Step steps[] = {
        {"the first pass", [] {}, 1, 1},
        {"a check without the heartbeat", check, 1, 0},
        {"the check with the heartbeat", check, 1, 1},
        {"the card reader ended", [&] { programs[0].process->pReady = false; }, 1, 1},
        {"it failed again", [&] { ++programs[0].failureCount; }, 1, 1},
        // Asked every few seconds; told by the pass after the look.
        {"the printer's queue was stopped",
         [&] {
             testprinter::ipp(IPP_OP_PAUSE_PRINTER, "printers/" + kQueue);
             clock.advanceMs(kv::StationStatus::kPrinterLookIntervalMs);
         },
         2, 1},
        // Refused, the write is asked for again by the next pass.
        {"it failed while a look ran", [&] { ++programs[0].failureCount, looks.busy = 1; }, 3, 1},
    };
    for (const Step &step : steps) {
        const int writes = status.writes();
        step.change();
        for (int pass = 0; pass < step.passes; ++pass)
            status.afterSupervision(settings, programs, true, false);
        EXPECT_EQ(status.writes() - writes, step.writes) << step.what;
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(woken, 1) << "a look woke the loop for a printer as it was, or not for the stopped queue";
    // A write handed to the worker is out before it begins: the next pass asks no look for it.
    looks.held.emplace(), ++programs[0].failureCount;
    status.afterSupervision(settings, programs, true, false), status.afterSupervision(settings, programs, true, false);
    ASSERT_EQ(looks.held->size(), 1u) << "the same change was handed over twice";
    looks.held->front()(connection), looks.held.reset();
    // The heartbeat's check writes the row again, with the end's age moved on.
    clock.advanceMs(7000);
    check();
    status.afterSupervision(settings, programs, true, true);
    check();
    EXPECT_EQ(testenv::psql("SELECT (programs->0->>'ended_s_ago')::float >= 7 FROM launcherstatus WHERE stationid = 43"),
              "t\n");
    // Every write while the launcher runs says so, whatever the last run said.
    EXPECT_EQ(testenv::psql("SELECT programs->0->>'running', programs->0->>'failures', printer_reasons, "
                            "stopped IS NULL FROM launcherstatus WHERE stationid = 43"),
              "false|3|{paused}|t\n");
}

// A slow server: a look and its write together longer than a look may are no
// outage, the row arrives late, a check due meanwhile waits and keeps its line.
TEST(StationStatusRow, ASlowWriteIsLateNeverAnOutage)
{
    testenv::psqlOn(testenv::database().name.toStdString(), "-f", KV_DATABASE_SQL);
    // On a port of its own: the PgBouncer fixture holds the cluster's port
    // on the proxy's address.
    draldbtest::TcpProxy proxy(testenv::database().port, 0);
    const std::shared_ptr<void> routed = proxy.routeEnvironment();
    kv::LauncherSettings settings = testsupport::clusterSettings();
    settings.db_host = QString::fromLatin1(draldbtest::TcpProxy::kHost);
    settings.stationid = QStringLiteral("44");
    kv::FakeClock clock;
    testsupport::RecordingNotices notices;
    testsupport::RecordingLog debugLog;
    testsupport::RecordingEventLog events;
    testsupport::RecordingKiller killer;
    kv::ThreadWorker worker;
    kv::Watchdog watchdog(notices, debugLog, events, killer, clock, worker);
    kv::InlineWorker printerWorker;
    kv::platform::CupsSpooler spooler;
    kv::StationStatus status(QStringLiteral("till44"), QStringLiteral("1"), clock.now(), clock, watchdog, printerWorker,
                             spooler, events, [] { return kv::DatabaseHealth{true, 0}; });
    watchdog.setRider(status.rider());
    status.afterSupervision(settings, {}, false, false);
    watchdog.setDbConnectionUp(true);
    watchdog.testDatabaseConnection(settings);
    worker.waitIdle(10000), watchdog.applyDatabaseTest(), worker.waitIdle(10000);
    // Each answer comes 500 ms later, and the till's clock runs five times as fast: the look (two round trips,
    // as the driver sets the timeout again after its catalogue query) takes it about five seconds, the write
    // and the check waiting for it about two and a half each.
    constexpr int kScale = 5;
    proxy.delay(500);
    status.checkDue(), status.checkDue();
    watchdog.probeDatabaseConnection(settings);
    const qint64 start = clock.monotonicMs();
    QElapsedTimer real;
    real.start();
    bool checked = false, writing = false;
    const auto checkedOk = [&] { return debugLog.lines.first().endsWith(QStringLiteral(" Database test success")); };
    while (real.elapsed() < 30000 && !checkedOk()) {
        worker.waitIdle(20);
        clock.advanceMs(start + kScale * real.elapsed() - clock.monotonicMs());
        if (watchdog.applyDatabaseTest() == 0 && !checked)
            writing = worker.busy(), checked = watchdog.testDatabaseConnection(settings) || true;
    }
    EXPECT_TRUE(writing) << "the look's verdict waited for the write that followed it";
    EXPECT_TRUE(notices.shown.empty()) << notices.shown.front().noticeText.toStdString();
    EXPECT_EQ(status.writes(), 2);
    EXPECT_TRUE(checkedOk()) << debugLog.lines.join(u'\n').toStdString();
    // The way out goes on once its write has landed, the window thread free meanwhile.
    testsupport::qtApp<QCoreApplication>();
    int writesWhenLeft = -1;
    status.writeStopped(settings, {}, false, QStringLiteral("exit"), [&] { writesWhenLeft = status.writes(); });
    EXPECT_EQ(writesWhenLeft, -1) << "the window thread waited for the write";
    EXPECT_TRUE(testenv::pollUntil([&] { return QCoreApplication::processEvents(), writesWhenLeft >= 0; },
                                   std::chrono::seconds(5)));
    EXPECT_EQ(writesWhenLeft, 3);
}
