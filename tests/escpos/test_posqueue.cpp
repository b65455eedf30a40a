// The printer list, then the POS queue and its ledger from the test cluster
// through the client library and the private print server (CUPS's defaults,
// the escpos backend as installed) to the test printer.
#include "escpos/vbEscpos.h"
#include "escpos/vbPosCommands.h"
#include "launcher/libraryjobs.h"
#include "draldbtest.h"
#include "platform/posix/cupsspooler.h"
#include "tempdir.h"
#include "testprinter.h"
#include "../../bench/tcpproxy.h"
#include <gtest/gtest.h>
#include <cups/cups.h>
#include <QDir>
#include <QScopeGuard>
#include <csignal>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>

using testprinter::TestPrinter;

namespace {

const std::string kSel("\x1b\x63\x30\x02", 4);
const std::string kCut("\x1d\x56\x42\x00", 4);
const std::string kPin2("\x1b\x70\x00\x19\xfa", 5);
const std::string kPin5("\x1b\x70\x01\x19\xfa", 5);

constexpr int kStation = 3;
constexpr int kOtherStation = 4;

// What psql printed, without the line end.
std::string sql(const std::string &statement)
{
    const std::string out = testenv::psql(statement);
    return out.substr(0, out.find_last_not_of('\n') + 1);
}

// Queues a row as another part of the system does; commandSql is an SQL
// expression, so tests can write ESC and non-ASCII text as escapes.
std::string queue(int station, int device, const std::string &commandSql = "NULL")
{
    return sql("INSERT INTO poscommands (stationid, device, command) VALUES (" + std::to_string(station) + ", " +
               std::to_string(device) + ", " + commandSql + ") RETURNING id");
}

// Queues `count` receipts for this station, "TEXT 1" up: what they print.
std::string queueReceipts(const std::string &text, int count)
{
    std::string printed;
    for (int n = 1; n <= count; ++n) {
        queue(kStation, 1, "'" + text + " " + std::to_string(n) + "'");
        printed += kSel + text + " " + std::to_string(n) + kCut;
    }
    return printed;
}

// Ids still queued for a station, oldest first, comma-separated.
std::string queued(int station)
{
    return sql("SELECT coalesce(string_agg(id::text, ',' ORDER BY id), '') FROM poscommands WHERE stationid = " +
               std::to_string(station));
}

// Killed, or stopped in order (SIGTERM: it writes all it has first); dead once it has let go of its sockets,
// reaped or not.
void stopPrintServer(int signal = SIGKILL)
{
    const int pid = testprinter::printServerPid();
    ASSERT_EQ(::kill(pid, signal), 0);
    std::string field;
    const auto gone = [&] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        return !(stat >> field >> field >> field) || field == "Z";
    };
    ASSERT_TRUE(testenv::pollUntil(gone, std::chrono::seconds(15)));
}

// The till loses power, the printer keeps it: the print server and every
// backend it runs (its session) die at once, as the launcher's pass (which
// the test ends by dropping it) does.
void powerCut()
{
    const std::string session = std::to_string(testprinter::printServerPid());
    ASSERT_EQ(std::system(("pkill -KILL -s " + session).c_str()), 0);
    ASSERT_TRUE(testenv::pollUntil(
        [&] { return std::system(("pgrep -r R,S,D,T -s " + session + " >/dev/null").c_str()) != 0; },
        std::chrono::seconds(5)));
}

// Stops or starts the queue (cupsdisable, cupsenable): a stopped queue keeps
// its jobs pending.
void stopQueue(const std::string &queue, bool stop)
{
    ASSERT_TRUE(testprinter::ipp(stop ? IPP_OP_PAUSE_PRINTER : IPP_OP_RESUME_PRINTER, "printers/" + queue).ok)
        << cupsLastErrorString();
}

class PosQueueThroughCups : public ::testing::Test {
protected:
    void SetUp() override
    {
        testenv::psql("DELETE FROM poscommands");
        // The launcher's directory may have any name; the library must get
        // it as UTF-8 to find its configuration there.
        ASSERT_TRUE(QDir(app.path()).mkdir(QStringLiteral("Kasse Süd")));
        app.write(QStringLiteral("Kasse Süd/dralfrontend.conf"),
                  draldbtest::clusterConf() + draldbtest::confLine("stationid", std::to_string(kStation)));
        libraryConnection = library.system_init(app.file(QStringLiteral("Kasse Süd/dralfrontend")));
        ASSERT_NE(libraryConnection, 0) << "the client library did not reach the test cluster";
        library.VB_notify_listen(libraryConnection, QStringLiteral("poscommands"));
        printerName = printer.name();
    }
    // What a case stopped or killed is back for the next, also after a
    // case that failed half-way.
    void TearDown() override
    {
        testprinter::restorePrintServer();
        stopQueue(printer.queue(), false);
    }
    // Passes until no row waits for its job any more (each job completed
    // and its rows deleted); fails the test when that takes too long.
    void untilOnPaper(kv::PosCommandQueue &through)
    {
        EXPECT_TRUE(testenv::pollUntil(
            [&] { return through.processPosCommands(printerName).rowsAwaitingPaper == 0; }, std::chrono::seconds(20)));
    }
    // A launcher that ended in mid-upload leaves a held job, which never prints.
    void leaveHeld(const std::string &name)
    {
        auto handle = spooler.openPrinter(printerName.toStdString());
        ASSERT_TRUE(handle && handle->startDocument({name, std::nullopt, std::nullopt}));
        ASSERT_TRUE(testprinter::writeAll(*handle, "cut off"));
    }
    // Library jobs as the launcher's ticks hand them over, until one ran a
    // pass; fails the test when none did within the bound.
    kv::LibraryFindings jobUntilAPass(kv::LibraryJobs &through)
    {
        std::optional<kv::LibraryFindings> found;
        EXPECT_TRUE(testenv::pollUntil(
            [&] {
                clock.advanceMs(1000);
                through.startJob(printerName, {});
                found = through.takeFindings();
                return found && found->pass;
            },
            std::chrono::seconds(20)));
        return found.value_or(kv::LibraryFindings{});
    }

    testsupport::TempAppDir app;
    kv::DraldbLibrary library;
    qint32 libraryConnection = 0;
    kv::platform::CupsSpooler spooler;
    kv::PosCommandQueue posQueue{library, libraryConnection, spooler};
    QString printerName;
    TestPrinter printer{testprinter::otherQueue()};
    kv::FakeClock clock;
    kv::InlineWorker worker;
    kv::LibraryJobs jobs{library, libraryConnection, spooler, clock, worker};
};

} // namespace

// Another program queues rows and notifies; the pass prints this station's
// receipts and drawer rows on the default printer (the setting is empty), one
// byte per character (Windows-1252, else "?", once even for a character
// outside the basic plane), and deletes exactly the rows it read.
TEST_F(PosQueueThroughCups, NotifiedPassPrintsThisStationsRowsByteForByte)
{
    TestPrinter defaultPrinter(testprinter::defaultQueue());
    printerName = QString();
    const std::string other1 = queue(kOtherStation, 1, "'not ours'");
    queue(kStation, 1, "E'Caf\\u00e9\\x1b\\x7f\\u0080\\u00ff 4,50 \\u20ac\\u2014\\u0416\\U0001F600\\n'");
    queue(kStation, 1, "E'one\\x1b|fPtwo\\x1b|fP'");
    for (int n = 0; n < 3; ++n)
        queue(kStation, 2);
    const std::string other2 = queue(kOtherStation, 2);
    // Device 7 is no device the launcher handles: its rows are left to
    // whatever does, like the rows of another station.
    const std::string device7 = queue(kStation, 7, "'for another device'");
    const auto mark = defaultPrinter.mark();
    testenv::psql("NOTIFY poscommands, 'payload'");

    const kv::LibraryFindings found = jobUntilAPass(jobs);

    EXPECT_EQ(found.cause, kv::PassCause::Notification);
    EXPECT_EQ(defaultPrinter.bytesSince(mark).toStdString(), kSel + "Caf\xe9\x1b\x7f\x80\xff 4,50 \x80\x97??\n" + kCut +
                                                                 kSel + "one" + kCut + "two" + kCut + kSel + kPin2 + kPin5);
    untilOnPaper(posQueue);
    EXPECT_EQ(queued(kOtherStation), other1 + "," + other2);
    EXPECT_EQ(queued(kStation), device7);
}

// The print server goes away with a receipt queued: the pass keeps it, the
// launcher's own retries look for the printer every few seconds without
// printing, and the first look that finds it back prints the receipt once;
// its row goes at the next look after the paper. One row only: the look
// must see that a single row waits.
TEST_F(PosQueueThroughCups, ReceiptQueuedWhileThePrintServerIsGonePrintsWhenItIsBack)
{
    const std::string receipt = queue(kStation, 1, "'kept'");
    const auto mark = printer.mark();
    stopPrintServer();
    testenv::psql("NOTIFY poscommands");
    const kv::LibraryFindings first = jobUntilAPass(jobs);
    ASSERT_TRUE(first.pass);
    EXPECT_FALSE(first.pass->printerOpened);
    EXPECT_TRUE(jobs.retryPending());
    // A look while it is gone runs no pass.
    clock.advanceMs(kv::LibraryJobs::kRetryIntervalMs);
    ASSERT_TRUE(jobs.startJob(printerName, {}));
    const auto found = jobs.takeFindings();
    ASSERT_TRUE(found);
    EXPECT_EQ(found->cause, kv::PassCause::Retry);
    EXPECT_FALSE(found->pass);
    EXPECT_EQ(queued(kStation), receipt);
    testprinter::restorePrintServer();
    const kv::LibraryFindings back = jobUntilAPass(jobs);
    EXPECT_EQ(back.cause, kv::PassCause::Retry);
    ASSERT_EQ(back.jobsOut, 1) << "the job completed before the pass looked";
    EXPECT_EQ(printer.bytesSince(mark).toStdString(), kSel + "kept" + kCut);
    // Its row goes at the first look after its paper, a tick later, with no
    // pass and no retry for it.
    const kv::platform::JobRef job{printerName.toStdString(), back.pass->jobName.toStdString(), 0};
    ASSERT_TRUE(testenv::pollUntil([&] { return spooler.followJob(job) == kv::platform::JobStage::Printed; },
                                   std::chrono::seconds(20)));
    clock.advanceMs(kv::LibraryJobs::kFollowIntervalMs);
    ASSERT_TRUE(jobs.startJob(printerName, {}));
    const auto look = jobs.takeFindings();
    EXPECT_TRUE(look && !look->pass);
    EXPECT_EQ(queued(kStation), "");
    EXPECT_FALSE(jobs.retryPending());
}

// The database restarts after the job is on paper and before its rows are
// deleted: the rows stay, and the pass the reconnect brings (what was
// notified meanwhile never comes) deletes them without printing them again.
TEST_F(PosQueueThroughCups, ServerRestartBetweenThePaperAndTheDeletesPrintsNothingTwice)
{
    const std::string all = queueReceipts("Bon", 3);
    const auto mark = printer.mark();
    const kv::PosPassReport first = posQueue.processPosCommands(printerName);
    ASSERT_TRUE(first.jobAccepted);
    ASSERT_EQ(first.rowsAwaitingPaper, 3) << "the job completed within a millisecond";
    EXPECT_EQ(printer.bytesSince(mark).toStdString(), all);
    const kv::platform::JobRef job{printerName.toStdString(), first.jobName.toStdString(), 0};
    ASSERT_TRUE(testenv::pollUntil([&] { return spooler.followJob(job) == kv::platform::JobStage::Printed; },
                                   std::chrono::seconds(20)));
    {
        // Its only statement is the DELETE.
        testenv::ClusterStopped server;
        const kv::LedgerFollow deleting = posQueue.followJobs();
        EXPECT_FALSE(deleting.failure.isEmpty());
        EXPECT_EQ(deleting.jobsOut, 1);
    }
    EXPECT_NE(queued(kStation), "");

    const kv::LibraryFindings found = jobUntilAPass(jobs);
    EXPECT_EQ(found.cause, kv::PassCause::Reconnect);
    EXPECT_EQ(found.pass->alreadyPrinted, 3);
    EXPECT_EQ(found.pass->receipts, 0);
    EXPECT_EQ(queued(kStation), "");
    EXPECT_EQ(printer.printedSince(mark).toStdString(), all);
}

// The till loses power right after the pass handed its job over, while the
// print server as installed has not yet written the job to disk: the rows
// are still queued, and the next start prints them, once. While the job
// lives (its queue stopped), neither a notified pass nor a new start prints
// its rows again; the start cancels what an earlier run of this station
// left held, not another station's.
TEST_F(PosQueueThroughCups, RowsStayQueuedUntilTheirJobIsOnPaperAndAPowerCutLosesNone)
{
    for (const bool cut : {false, true}) {
        SCOPED_TRACE(cut ? "power cut after the hand-over" : "the job lives");
        std::string all = queueReceipts("Cut " + std::to_string(cut), 3);
        const auto mark = printer.mark();
        if (cut) {
            // Stopped in order, the print server writes all it has and next
            // writes 30 s after the first change: the cut falls well inside.
            stopPrintServer(SIGTERM);
            testprinter::restorePrintServer();
        }
        stopQueue(printer.queue(), true);
        const kv::PosPassReport handedOver = posQueue.processPosCommands(printerName);
        ASSERT_TRUE(handedOver.jobAccepted);
        EXPECT_EQ(handedOver.rowsAwaitingPaper, 3);
        EXPECT_NE(queued(kStation), "");
        if (cut) {
            powerCut();
            testprinter::restorePrintServer();
        } else {
            all += queueReceipts("while it lives", 1);
            testenv::psql("NOTIFY poscommands");
            const kv::LibraryFindings notified = jobUntilAPass(jobs);
            // The three held, and the new one in a job of its own.
            EXPECT_EQ(notified.pass->receipts, 1);
            EXPECT_EQ(notified.pass->rowsAwaitingPaper, 4);
        }
        const std::string station31 = kv::poscommands::jobNamePrefix(QStringLiteral("31")).toStdString();
        if (!cut) {
            leaveHeld(kv::poscommands::jobNamePrefix(QString::number(kStation)).toStdString() + "earlier-1");
            leaveHeld(station31 + "x");
            // An empty name is the default printer, where nothing of ours is held.
            const kv::LeftoverReport elsewhere = posQueue.cancelHeldLeftovers(QString());
            EXPECT_EQ(elsewhere.printerName.toStdString(), testprinter::defaultQueue());
            EXPECT_EQ(elsewhere.cancelled, 0);
        }
        // The next start: held jobs cancelled, the start-up pass.
        kv::PosCommandQueue next(library, libraryConnection, spooler);
        const kv::LeftoverReport leftovers = next.cancelHeldLeftovers(printerName);
        if (!cut) {
            EXPECT_TRUE(leftovers.asked);
            EXPECT_EQ(leftovers.cancelled, 1);
            EXPECT_EQ(spooler.cancelHeldJobs(printerName.toStdString(), station31), 1) << "station 31's was not held";
        }
        const kv::PosPassReport started = next.processPosCommands(printerName);
        EXPECT_EQ(started.receipts, cut ? 3 : 0);
        EXPECT_EQ(started.rowsAwaitingPaper, cut ? 3 : 4);
        stopQueue(printer.queue(), false);
        EXPECT_EQ(printer.bytesSince(mark, cut ? 1 : 2).toStdString(), all);
        untilOnPaper(next);
        EXPECT_EQ(queued(kStation), "");
        // Nothing came out twice, later either.
        EXPECT_EQ(printer.printedSince(mark).toStdString(), all);
    }
}

// A fault at each step of a job's life: the database refuses the record, a
// manager cancels the job before it printed, the rows carry a mark that names
// no job, or the print server answers a step late, past the pass's budget
// (the release 6 s late, the others just past a budget shortened to keep the
// test quick), or dies there. A job not yet recorded never prints (what the
// server holds of it is cancelled) and its rows go again; a recorded one is
// asked after. Every receipt reaches the printer once, the rows leave the
// queue only then, and no held job of ours stays.
TEST_F(PosQueueThroughCups, EveryFaultInAJobsLifePrintsEachReceiptOnce)
{
    using namespace std::chrono_literals;
    const std::string queueName = printer.queue();
    const struct {
        const char *what;
        const char *lateAt = nullptr; // the request answered late, or where the server dies
        std::chrono::milliseconds late = 0ms; // none: the server dies there
        std::function<void()> fault = [] {};
        // After the first pass, given its report: what the fault leaves to undo.
        std::function<void(const kv::PosPassReport &)> after = [](const kv::PosPassReport &) {};
    } cases[] = {
        {"the database refuses the record", nullptr, 0ms,
         [] { testenv::psql("ALTER TABLE poscommands RENAME COLUMN printjob TO printjob_gone"); },
         [](const kv::PosPassReport &) {
             testenv::psql("ALTER TABLE poscommands RENAME COLUMN printjob_gone TO printjob");
         }},
        {"cancelled at the print server before it printed", nullptr, 0ms, [&] { stopQueue(queueName, true); },
         [&](const kv::PosPassReport &) {
             // As a manager does with a job that looks stuck.
             EXPECT_EQ(cupsCancelJob2(CUPS_HTTP_DEFAULT, queueName.c_str(), CUPS_JOBID_ALL, 0), IPP_STATUS_OK);
             stopQueue(queueName, false);
         }},
        {"a mark that names no job", nullptr, 0ms, [] { testenv::psql("UPDATE poscommands SET printjob = 'x y'"); },
         [](const kv::PosPassReport &first) { EXPECT_EQ(first.damagedMarks, QStringList{QStringLiteral("x y")}); }},
        {"Release-Job answered late", "Release-Job", 6000ms},
        {"Send-Document answered late", "Send-Document", 2000ms},
        {"Create-Job answered late", "Create-Job", 2000ms},
        {"the server killed at Release-Job", "Release-Job"},
    };
    // The fixture's print server over TCP, as a remote one is reached; what
    // the client sends goes on at once, the answers come late.
    draldbtest::TcpProxy late(0, 0, testenv::require("CUPS_SERVER"));
    kv::platform::CupsSpooler lateSpooler(std::string(late.kHost) + ":" + std::to_string(late.port()), 1500ms);
    kv::LibraryJobs lateJobs(library, libraryConnection, lateSpooler, clock, worker);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto mark = printer.mark();
        const std::string all = queueReceipts(c.what, 2) + kSel + kPin2 + kPin5;
        queue(kStation, 2);
        c.fault();
        bool reached = false;
        lateSpooler.setRequestHook([&](const char *operation) {
            if (reached || !c.lateAt || std::string_view(operation) != c.lateAt)
                return;
            reached = true;
            if (c.late == 0ms)
                return stopPrintServer();
            late.delay(int(c.late.count()));
        });
        // A late answer through the launcher's jobs, the rest in a pass of their own.
        testenv::psql("NOTIFY poscommands");
        const auto first = c.lateAt ? jobUntilAPass(lateJobs).pass : posQueue.processPosCommands(printerName);
        lateSpooler.setRequestHook(nullptr);
        late.delay(0);
        testprinter::restorePrintServer();
        ASSERT_TRUE(first && reached == (c.lateAt != nullptr));
        c.after(*first);
        EXPECT_TRUE(!c.lateAt || !first->failure.isEmpty());
        EXPECT_NE(queued(kStation), "");
        // The launcher's own retries and looks settle it, or passes.
        EXPECT_TRUE(testenv::pollUntil(
            [&] {
                if (!c.lateAt)
                    return posQueue.processPosCommands(printerName).rowsAwaitingPaper == 0;
                clock.advanceMs(kv::LibraryJobs::kRetryIntervalMs);
                lateJobs.startJob(printerName, {});
                const auto found = lateJobs.takeFindings();
                return found && found->jobsOut == 0 && !lateJobs.retryPending() && queued(kStation).empty();
            },
            std::chrono::seconds(30)));
        // A second copy would reach the printer before this receipt.
        const std::string after = queueReceipts("after", 1);
        posQueue.processPosCommands(printerName);
        untilOnPaper(posQueue);
        EXPECT_EQ(printer.printedSince(mark).toStdString(), all + after);
        EXPECT_EQ(queued(kStation), "");
        EXPECT_EQ(posQueue.cancelHeldLeftovers(printerName).cancelled, 0);
    }
}

// A job whose number never reached us (the answer to its creation lost, or
// a run that ended before it wrote the number down) is found by its name,
// among the server's finished jobs too: one that printed counts as taken,
// or its receipts would print twice. Of several of that name the newest
// counts; a number the server shows under another name is not ours (a
// server that lost its jobs gives their numbers again). The launcher counts
// printers as the list's size less one, and knows them by their exact names.
TEST_F(PosQueueThroughCups, AJobIsOursByItsNumberAndNameOrByItsNewestNamesake)
{
    using kv::platform::JobStage;
    const std::string name = "kv-by-name-" + std::to_string(::getpid());
    const std::string queueName = printerName.toStdString();
    const std::string kitchen = "Küche_" + std::to_string(::getpid());
    const auto restore = qScopeGuard([&] { testprinter::ipp(IPP_OP_CUPS_DELETE_PRINTER, "printers/" + kitchen); });
    const auto send = [&] {
        const auto handle = spooler.openPrinter(queueName);
        EXPECT_TRUE(handle && handle->startDocument({name, std::nullopt, std::nullopt}) &&
                    testprinter::writeAll(*handle, "known by name") && handle->endDocument());
        return handle ? handle->job().id : 0;
    };
    const int printed = send();
    // A second or so after a job ends, CUPS lets go of its attributes, and lists it without its name then.
    const auto nameless = [&] {
        ipp_t *request = ippNewRequest(IPP_OP_GET_JOBS);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     ("ipp://localhost/printers/" + queueName).c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-ids", printed);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "job-name");
        ipp_t *reply = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
        const bool found = reply && !ippFindAttribute(reply, "job-name", IPP_TAG_NAME);
        ippDelete(reply);
        return found;
    };
    ASSERT_TRUE(testenv::pollUntil(nameless, std::chrono::seconds(20)));
    EXPECT_EQ(spooler.followJob({queueName, name, 0}), JobStage::Printed)
        << "job " << printed << ": " << spooler.lastError();
    EXPECT_EQ(spooler.followJob({queueName, name + "-other", printed}), JobStage::Gone);
    {
        // To a user it cannot tell is the owner, the server shows no job
        // names: a number then counts alone, and a name alone finds nothing.
        const auto owner = qScopeGuard([] { cupsSetUser(nullptr); });
        cupsSetUser("kv-not-the-owner");
        EXPECT_EQ(spooler.followJob({queueName, name, printed}), JobStage::Printed);
        EXPECT_EQ(spooler.followJob({queueName, name, 0}), JobStage::Gone);
    }
    stopQueue(queueName, true);
    send();
    EXPECT_EQ(spooler.followJob({queueName, name, 0}), JobStage::Waiting);

    ASSERT_TRUE(testprinter::ipp(IPP_OP_CUPS_ADD_MODIFY_PRINTER, "printers/" + kitchen, nullptr, "device-uri",
                                 {"escpos:/dev/kv-no-such-printer"})
                    .ok)
        << cupsLastErrorString();
    // "Not found" is an answer: the print server knows no such queue.
    EXPECT_EQ(spooler.followJob({kitchen + "-gone", name, 0}), JobStage::Gone);
    const QString added = QString::fromStdString(kitchen);
    const QStringList printers = kv::escpos::getPrinterList(spooler);
    EXPECT_TRUE(printers.contains(added) && printers.contains(printerName) && printers.last().isEmpty())
        << printers.join(',').toStdString();
    EXPECT_TRUE(kv::escpos::printerExists(spooler, added));
    for (const QString &near : {printerName.toLower(), printerName.chopped(1), printerName + ' ', QString()})
        EXPECT_FALSE(kv::escpos::printerExists(spooler, near)) << near.toStdString();
    kv::platform::CupsSpooler away("127.0.0.1:1", std::chrono::milliseconds(1500));
    EXPECT_EQ(kv::escpos::getPrinterList(away), QStringList{""});
}
