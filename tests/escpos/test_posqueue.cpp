// The printer list and the POS queue: against the fake client library and
// the recording spooler for write boundaries and failures real servers cannot
// easily be made to show; then from the test cluster through the client
// library and the private print server to the test printer.
#include "escpos/vbEscpos.h"
#include "escpos/vbPosCommands.h"
#include "launcher/libraryjobs.h"

#include "config/vbDraldbFake.h"
#include "draldbtest.h"
#include "interruptedlibrary.h"
#include "platform/fakes/recordingspooler.h"
#include "platform/posix/cupsspooler.h"
#include "tempdir.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <cups/cups.h>

#include <QDir>
#include <QFile>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <functional>
#include <string>
#include <string_view>

#include <sys/stat.h>

using kv::FakeDraldb;
using kv::platform::RecordingSpooler;
using testprinter::TestPrinter;
using Kind = RecordingSpooler::Op::Kind;

namespace {

const std::string kSel("\x1b\x63\x30\x02", 4);
const std::string kCut("\x1d\x56\x42\x00", 4);
const std::string kPin2("\x1b\x70\x00\x19\xfa", 5);
const std::string kPin5("\x1b\x70\x01\x19\xfa", 5);

// The launcher counts printers as the list's size less one; the helpers
// never touch a printer.
TEST(EscposPrinterList, NamesThenOneEmptyElementAndExactNamesOnly)
{
    RecordingSpooler spooler;
    const QString kueche = QString::fromUtf8("Küche");
    spooler.setPrinters({"KV_Receipt", kueche.toStdString()}, "KV_Receipt");
    EXPECT_EQ(kv::escpos::getPrinterList(spooler), (QStringList{"KV_Receipt", kueche, ""}));
    EXPECT_TRUE(kv::escpos::printerExists(spooler, kueche));
    for (const char *near : {"kv_receipt", "KV_Rec", "KV_Receipt ", ""})
        EXPECT_FALSE(kv::escpos::printerExists(spooler, near)) << near;
    spooler.setReachable(false);
    EXPECT_EQ(kv::escpos::getPrinterList(spooler), QStringList{""});
    EXPECT_TRUE(spooler.ops().empty());
}

struct LibraryFailed {};

// The fake client library serving the rows the test queues, oldest first.
struct FakeQueue {
    FakeDraldb fake;
    FakeQueue()
    {
        fake.config["stationid"] = "3";
        fake.answer = [this](const QString &) { return std::optional(fake.tables.value("poscommands")); };
    }
    void add(const QString &id, const QString &device, const QString &command = QString())
    {
        fake.tables["poscommands"].append(FakeDraldb::Row{{"id", id}, {"device", device}, {"command", command}});
    }
    QStringList ids() const
    {
        QStringList out;
        for (const auto &row : fake.tables.value("poscommands"))
            out << row.value("id");
        return out;
    }
};

// A job the spooler did not take keeps every row, printed once by the next
// pass; rows of a job on paper but not deleted are journalled, deleted by the
// next run unprinted. After a lost answer the run asks the server first, and
// what the server holds unprinted of a job is cancelled.
TEST(PosQueuePass, OnlyWhatTheSpoolerTookLeavesTheQueueAndNothingPrintsTwice)
{
    FakeQueue q;
    RecordingSpooler spooler;
    spooler.setPrinters({"KV_Kitchen", "KV_Receipt"}, "KV_Receipt");
    InterruptedLibrary library{q.fake};
    testsupport::TempAppDir dir;
    kv::PrintJournal journal{dir.file(kv::PrintJournal::fileName())};
    const QString printer = "KV_Kitchen";
    const qint32 libraryConnection = 1;
    kv::PosCommandQueue posQueue{library, libraryConnection, spooler, journal};
    const auto pass = [&] { return posQueue.processPosCommands(printer); };
    enum How { FailWrites, FailEnd, Throw, ThrowAtDelete, LostTaken, LostHeld };
    const struct { const char *what; How how; int fromRow; } cases[] = {
        {"write fails in mid-pass", FailWrites, 2},
        {"job end refused", FailEnd, -1},
        {"library error in mid-pass", Throw, 1},
        {"library error at the first delete", ThrowAtDelete, -1},
        {"answer lost, the server took the job", LostTaken, -1},
        {"answer lost, the server holds the job", LostHeld, -1},
    };
    const std::string all = kSel + "one" + kCut + kSel + kPin2 + kPin5 + kSel + "two" + kCut;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        q.fake.tables.clear();
        spooler.clearOps();
        // The run's journal as the last row's new run left the file: empty.
        journal.save({}, nullptr);
        q.add("10", "1", "one");
        q.add("11", "2");
        q.add("12", "1", "two");
        spooler.setFailEndDocument(c.how == FailEnd);
        const bool lost = c.how == LostTaken || c.how == LostHeld;
        if (lost)
            spooler.setEndAnswerLost(c.how == LostTaken);
        library.interruptAt = c.fromRow;
        library.atRow = [&] {
            if (c.how == Throw)
                throw LibraryFailed();
            spooler.setFailWrites(true);
        };
        if (c.how == ThrowAtDelete)
            library.atDelete = [] { throw LibraryFailed(); };
        const bool taken = c.how == ThrowAtDelete || c.how == LostTaken;

        if (c.how == Throw || c.how == ThrowAtDelete) {
            EXPECT_THROW(pass(), LibraryFailed);
        } else {
            const kv::PosPassReport report = pass();
            EXPECT_TRUE(report.rowsLeftQueued);
            EXPECT_FALSE(report.jobAccepted);
            EXPECT_TRUE(report.jobFateUnknown);
        }
        // The receipts written before a library error are not handed over.
        const auto kinds = spooler.kinds();
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), Kind::EndDocument), c.how == Throw ? 0 : 1);
        EXPECT_EQ(q.ids(), (QStringList{"10", "11", "12"}));
        EXPECT_EQ(q.fake.openResultSets(), 0);
        EXPECT_EQ(spooler.openHandles(), 0);
        // Every job the server may have is journalled, the file its owner's
        // alone like shell.conf beside it.
        struct stat st {};
        EXPECT_EQ(::stat(dir.file(kv::PrintJournal::fileName()).toUtf8().constData(), &st) == 0
                      ? int(st.st_mode & 07777) : -1, 0600);

        spooler.setFailWrites(false);
        spooler.setFailEndDocument(false);
        spooler.setEndAnswerLost(std::nullopt);
        if (lost) {
            spooler.setLookupsAnswered(false);
            spooler.clearOps();
            EXPECT_EQ(pass().earlierJobFate, kv::platform::JobFate::Unknown);
            EXPECT_EQ(spooler.bytes(), "");
            EXPECT_EQ(q.ids(), (QStringList{"10", "11", "12"}));
            spooler.setLookupsAnswered(true);
        }
        spooler.clearOps();
        // The journal is read again as a new program run would, which first
        // cancels held jobs left behind; a lost answer is the run's own to
        // settle.
        kv::PrintJournal reread(dir.file(kv::PrintJournal::fileName()));
        kv::PosCommandQueue next(library, libraryConnection, spooler, reread);
        if (!lost)
            next.cancelHeldLeftovers(printer);
        kv::PosCommandQueue &run = lost ? posQueue : next;
        const kv::PosPassReport report = run.processPosCommands(printer);
        // Cut off at its second row, the job goes again as far as it got;
        // the rest follows.
        if (c.how == Throw) {
            EXPECT_EQ(spooler.bytes(), kSel + "one" + kCut);
            run.processPosCommands(printer);
        }
        EXPECT_EQ(spooler.bytes(), taken ? std::string() : all);
        EXPECT_EQ(report.alreadyPrinted, taken ? 3 : 0);
        EXPECT_TRUE(q.ids().isEmpty());
        EXPECT_FALSE(QFile::exists(dir.file(kv::PrintJournal::fileName())));
        EXPECT_EQ(spooler.heldJobs(), 0);
    }
}

// A job the print server took holds its rows until the server reports it
// completed: no later pass, of this run or the next, prints them while it
// lives. Completed, they leave the queue unprinted; lost with the server (a
// power cut before it wrote the job to disk) or cancelled, they print again,
// once.
TEST(PosQueuePass, RowsStayUntilTheirJobIsOnPaper)
{
    enum End { Printed, Lost, LookupUnanswered };
    const struct { const char *what; End end; } cases[] = {
        {"the job completes", Printed},
        {"the server forgets the job", Lost},
        {"the server does not answer", LookupUnanswered},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FakeQueue q;
        RecordingSpooler spooler;
        spooler.setPrinters({"KV_Receipt"}, "KV_Receipt");
        spooler.setJobsPrint(false);
        testsupport::TempAppDir dir;
        const QString path = dir.file(kv::PrintJournal::fileName());
        auto journal = std::make_unique<kv::PrintJournal>(path);
        const qint32 connection = 1;
        auto posQueue = std::make_unique<kv::PosCommandQueue>(q.fake, connection, spooler, *journal);
        const auto pass = [&] { return posQueue->processPosCommands(QString()); };
        q.add("20", "1", "first");
        q.add("21", "2");
        const kv::PosPassReport handedOver = pass();
        EXPECT_TRUE(handedOver.jobAccepted);
        EXPECT_FALSE(handedOver.rowsLeftQueued);
        EXPECT_EQ(handedOver.rowsAwaitingPaper, 2);
        EXPECT_EQ(handedOver.rowsDeleted, 0);
        const std::string first = kSel + "first" + kCut + kSel + kPin2 + kPin5;
        EXPECT_EQ(spooler.bytes(), first);

        // A notification while it prints, then the same after a new start:
        // only the new row prints.
        q.add("22", "1", "second");
        const kv::PosPassReport notified = pass();
        EXPECT_EQ(notified.receipts, 1);
        EXPECT_EQ(notified.rowsAwaitingPaper, 3);
        journal = std::make_unique<kv::PrintJournal>(path);
        posQueue = std::make_unique<kv::PosCommandQueue>(q.fake, connection, spooler, *journal);
        posQueue->cancelHeldLeftovers(QString());
        const kv::PosPassReport afterStart = pass();
        EXPECT_EQ(afterStart.receipts + afterStart.drawerPulses, 0);
        EXPECT_EQ(afterStart.rowsAwaitingPaper, 3);
        EXPECT_EQ(spooler.bytes(), first + kSel + "second" + kCut);
        EXPECT_EQ(q.ids(), (QStringList{"20", "21", "22"}));

        spooler.clearOps();
        if (c.end == Printed)
            spooler.setJobsPrint(true);
        else if (c.end == Lost)
            spooler.forgetJobs(), spooler.setJobsPrint(true);
        else
            spooler.setLookupsAnswered(false);
        const kv::PosPassReport last = pass();
        if (c.end == Lost) {
            // Each lost job goes again as it was, under its own name.
            EXPECT_EQ(last.jobName, handedOver.jobName);
            EXPECT_EQ(spooler.bytes(), first);
            EXPECT_EQ(pass().jobName, notified.jobName);
        }
        EXPECT_EQ(spooler.bytes(), c.end == Lost ? first + kSel + "second" + kCut : std::string());
        EXPECT_EQ(last.alreadyPrinted, c.end == Printed ? 3 : 0);
        EXPECT_EQ(q.ids(), c.end == LookupUnanswered ? (QStringList{"20", "21", "22"}) : QStringList());
        EXPECT_EQ(last.rowsLeftQueued, c.end == LookupUnanswered);
        EXPECT_EQ(QFile::exists(path), c.end == LookupUnanswered);
    }
}

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

// Ids still queued for a station, oldest first, comma-separated.
std::string queued(int station)
{
    return sql("SELECT coalesce(string_agg(id::text, ',' ORDER BY id), '') FROM poscommands WHERE stationid = " +
               std::to_string(station));
}

// Dead once it has let go of its sockets, reaped or not.
bool gone(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    return !(stat >> field >> field >> field) || field == "Z";
}

void killPrintServer()
{
    const int pid = testprinter::printServerPid();
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ASSERT_TRUE(testenv::pollUntil([pid] { return gone(pid); }, std::chrono::seconds(5)));
}

// The till loses power, the printer keeps it: the print server and every
// backend it runs die at once, as the launcher's pass (which the test ends by
// dropping it) does.
void powerCut()
{
    const int cupsd = testprinter::printServerPid();
    std::vector<int> session;
    QDir proc(QStringLiteral("/proc"));
    for (const QString &entry : proc.entryList(QDir::Dirs)) {
        bool number = false;
        const int pid = entry.toInt(&number);
        std::ifstream stat("/proc/" + entry.toStdString() + "/stat");
        std::string line;
        std::getline(stat, line);
        // Field 6, the session, follows the name in parentheses.
        const std::size_t close = line.rfind(')');
        std::istringstream rest(close == std::string::npos ? std::string() : line.substr(close + 2));
        std::string state;
        int ppid = 0, pgrp = 0, sid = 0;
        if (number && rest >> state >> ppid >> pgrp >> sid && sid == cupsd)
            session.push_back(pid);
    }
    ASSERT_FALSE(session.empty());
    for (const int pid : session)
        ::kill(pid, SIGKILL);
    ASSERT_TRUE(testenv::pollUntil([&] { return std::all_of(session.begin(), session.end(), gone); },
                                   std::chrono::seconds(5)));
}

// Stops or starts the queue (cupsdisable, cupsenable): a stopped queue keeps
// its jobs pending.
void stopQueue(const std::string &queue, bool stop)
{
    ipp_t *request = ippNewRequest(stop ? IPP_OP_PAUSE_PRINTER : IPP_OP_RESUME_PRINTER);
    const std::string uri = "ipp://localhost/printers/" + queue;
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippDelete(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/admin/"));
    ASSERT_LE(cupsLastError(), IPP_STATUS_OK_CONFLICTING) << cupsLastErrorString();
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
    // Library jobs as the launcher's ticks hand them over, until one ran a
    // pass; fails the test when none did within the bound.
    kv::LibraryFindings jobUntilAPass() { return jobUntilAPass(jobs); }
    // Passes until no row waits for its job any more (each job completed
    // and its rows deleted); fails the test when that takes too long.
    void untilOnPaper(kv::PosCommandQueue &through)
    {
        EXPECT_TRUE(testenv::pollUntil(
            [&] { return through.processPosCommands(printerName).rowsAwaitingPaper == 0; }, std::chrono::seconds(20)));
    }
    void untilOnPaper() { untilOnPaper(posQueue); }
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
    kv::DraldbLibrary realLibrary;
    InterruptedLibrary library{realLibrary};
    qint32 libraryConnection = 0;
    kv::platform::CupsSpooler spooler;
    kv::PrintJournal journal{app.file(kv::PrintJournal::fileName())};
    kv::PosCommandQueue posQueue{library, libraryConnection, spooler, journal};
    QString printerName;
    TestPrinter printer{testprinter::otherQueue()};
    kv::FakeClock clock;
    kv::InlineWorker worker;
    kv::LibraryJobs jobs{library, libraryConnection, spooler, journal, clock, worker};
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

    const kv::LibraryFindings found = jobUntilAPass();

    EXPECT_EQ(found.cause, kv::PassCause::Notification);
    EXPECT_EQ(defaultPrinter.bytesSince(mark).toStdString(), kSel + "Caf\xe9\x1b\x7f\x80\xff 4,50 \x80\x97??\n" + kCut +
                                                                 kSel + "one" + kCut + "two" + kCut + kSel + kPin2 + kPin5);
    EXPECT_EQ(found.pass->rowsAwaitingPaper + found.pass->rowsDeleted, 5);
    untilOnPaper();
    EXPECT_EQ(queued(kOtherStation), other1 + "," + other2);
    EXPECT_EQ(queued(kStation), device7);
}

// The print server goes away with a receipt queued: the pass keeps it, the
// launcher's own retries look for the printer every few seconds without
// printing, and the first look that finds it back prints the receipt once.
// One row only: the look must see that a single row waits.
TEST_F(PosQueueThroughCups, ReceiptQueuedWhileThePrintServerIsGonePrintsWhenItIsBack)
{
    const std::string receipt = queue(kStation, 1, "'kept'");
    const auto mark = printer.mark();
    {
        struct Restore {
            ~Restore() { testprinter::restorePrintServer(); }
        } restore;
        killPrintServer();
        testenv::psql("NOTIFY poscommands");
        const kv::LibraryFindings first = jobUntilAPass();
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
    }
    const kv::LibraryFindings back = jobUntilAPass();
    EXPECT_EQ(back.cause, kv::PassCause::Retry);
    EXPECT_EQ(printer.bytesSince(mark).toStdString(), kSel + "kept" + kCut);
    // The retries go on until the job is on paper and its row deleted.
    EXPECT_TRUE(testenv::pollUntil(
        [&] {
            clock.advanceMs(kv::LibraryJobs::kRetryIntervalMs);
            jobs.startJob(printerName, {});
            jobs.takeFindings();
            return !jobs.retryPending();
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(queued(kStation), "");
}

// The database restarts after the job is on paper and before its rows are
// deleted: the rows stay, and the pass the reconnect brings (what was
// notified meanwhile never comes) deletes them without printing them again.
TEST_F(PosQueueThroughCups, ServerRestartBetweenThePaperAndTheDeletesPrintsNothingTwice)
{
    std::string all;
    for (const std::string n : {"1", "2", "3"}) {
        queue(kStation, 1, "'Bon " + n + "'");
        all += kSel + "Bon " + n + kCut;
    }
    const auto mark = printer.mark();
    const kv::PosPassReport first = posQueue.processPosCommands(printerName);
    ASSERT_TRUE(first.jobAccepted);
    ASSERT_EQ(first.rowsAwaitingPaper, 3) << "the job completed within a millisecond";
    EXPECT_EQ(printer.bytesSince(mark).toStdString(), all);
    ASSERT_TRUE(testenv::pollUntil(
        [&] {
            return spooler.followJob({printerName.toStdString(), first.jobName.toStdString(), 0}) ==
                   kv::platform::JobStage::Printed;
        },
        std::chrono::seconds(20)));
    library.atDelete = [] { testenv::pgctl("restart"); };
    const kv::PosPassReport deleting = posQueue.processPosCommands(printerName);
    EXPECT_TRUE(deleting.rowsLeftQueued);
    EXPECT_EQ(deleting.receipts, 0);
    EXPECT_NE(queued(kStation), "");

    const kv::LibraryFindings found = jobUntilAPass();
    EXPECT_EQ(found.cause, kv::PassCause::Reconnect);
    EXPECT_EQ(found.pass->alreadyPrinted + deleting.rowsDeleted, 3);
    EXPECT_EQ(found.pass->receipts, 0);
    EXPECT_EQ(queued(kStation), "");
    EXPECT_EQ(printer.printedSince(mark).toStdString(), all);
}

// The till loses power right after the pass handed its job over, while the
// print server as installed has not yet written the job to disk: the rows
// are still queued, and the next start prints them, once. While the job
// lives (its queue stopped), neither a notified pass nor a new start prints
// its rows again.
TEST_F(PosQueueThroughCups, RowsStayQueuedUntilTheirJobIsOnPaperAndAPowerCutLosesNone)
{
    for (const bool cut : {false, true}) {
        SCOPED_TRACE(cut ? "power cut after the hand-over" : "the job lives");
        std::string all;
        for (const std::string n : {"1", "2", "3"}) {
            queue(kStation, 1, "'Cut " + std::to_string(cut) + " " + n + "'");
            all += kSel + "Cut " + std::to_string(cut) + " " + n + kCut;
        }
        const auto mark = printer.mark();
        struct Restore {
            std::string queue;
            ~Restore()
            {
                testprinter::restorePrintServer();
                stopQueue(queue, false);
            }
        } restore{printer.queue()};
        if (cut) {
            // Stopped in order, the print server writes all it has and next
            // writes 30 s after the first change: the cut falls well inside.
            const int pid = testprinter::printServerPid();
            ASSERT_EQ(::kill(pid, SIGTERM), 0);
            ASSERT_TRUE(testenv::pollUntil([pid] { return gone(pid); }, std::chrono::seconds(15)));
            testprinter::restorePrintServer();
        }
        stopQueue(printer.queue(), true);
        const kv::PosPassReport handedOver = posQueue.processPosCommands(printerName);
        ASSERT_TRUE(handedOver.jobAccepted);
        EXPECT_EQ(handedOver.rowsAwaitingPaper, 3);
        EXPECT_EQ(handedOver.rowsDeleted, 0);
        EXPECT_NE(queued(kStation), "");
        if (cut) {
            powerCut();
            testprinter::restorePrintServer();
        } else {
            queue(kStation, 1, "'while it lives'");
            all += kSel + "while it lives" + kCut;
            testenv::psql("NOTIFY poscommands");
            const kv::LibraryFindings notified = jobUntilAPass();
            // The three held, and the new one in a job of its own.
            EXPECT_EQ(notified.pass->receipts, 1);
            EXPECT_EQ(notified.pass->rowsAwaitingPaper, 4);
        }
        // The next start: the journal read again, held jobs cancelled, the
        // start-up pass.
        kv::PrintJournal reread(app.file(kv::PrintJournal::fileName()));
        kv::PosCommandQueue next(library, libraryConnection, spooler, reread);
        next.cancelHeldLeftovers(printerName);
        const kv::PosPassReport started = next.processPosCommands(printerName);
        EXPECT_EQ(started.receipts, cut ? 3 : 0);
        EXPECT_EQ(started.rowsAwaitingPaper, cut ? 3 : 4);
        stopQueue(printer.queue(), false);
        EXPECT_EQ(printer.bytesSince(mark, cut ? 1 : 2).toStdString(), all);
        untilOnPaper(next);
        EXPECT_EQ(queued(kStation), "");
        // Nothing came out twice, later either.
        EXPECT_EQ(printer.printedSince(mark).toStdString(), all);
        // The old run's journal, as it was when the new run began, goes.
        journal.save({}, nullptr);
    }
}

// The print server answers a step of the job late, past the pass's budget
// (the release 6 s late, the others just past a budget shortened to keep the
// test quick), or dies there: the retry asks it first. Every receipt
// reaches the printer once, the rows leave the queue and no held job of ours
// stays. Released late, the job has printed, and the retry prints nothing.
TEST_F(PosQueueThroughCups, LostAnswerAtEachStepOfTheJobPrintsEveryReceiptOnce)
{
    using kv::platform::JobFate;
    using namespace std::chrono_literals;
    const struct { const char *at; bool kill; std::chrono::milliseconds late; JobFate found; } cases[] = {
        {"Release-Job", false, 6000ms, JobFate::Taken},
        {"Send-Document", false, 2000ms, JobFate::NotTaken},
        {"Create-Job", false, 2000ms, JobFate::NotTaken},
        {"Release-Job", true, 0ms, JobFate::NotTaken},
    };
    testprinter::LateAnswers late;
    kv::platform::CupsSpooler lateSpooler(late.server(), 1500ms);
    kv::LibraryJobs lateJobs(library, libraryConnection, lateSpooler, journal, clock, worker);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.at) + (c.kill ? ", server killed" : ", answered late"));
        std::string all;
        for (const std::string n : {"1", "2"}) {
            queue(kStation, 1, "'" + std::string(c.at) + " " + n + "'");
            all += kSel + c.at + " " + n + kCut;
        }
        const auto mark = printer.mark();
        bool reached = false;
        lateSpooler.setRequestHook([&](const char *operation) {
            if (reached || std::string_view(operation) != c.at)
                return;
            reached = true;
            if (c.kill)
                return killPrintServer();
            late.holdFor(c.late);
        });
        testenv::psql("NOTIFY poscommands");
        const kv::LibraryFindings first = jobUntilAPass(lateJobs);
        lateSpooler.setRequestHook(nullptr);
        if (c.kill)
            testprinter::restorePrintServer();
        ASSERT_TRUE(reached && first.pass);
        EXPECT_TRUE(first.pass->jobFateUnknown);
        EXPECT_NE(queued(kStation), "");

        const kv::LibraryFindings retry = jobUntilAPass(lateJobs);
        ASSERT_TRUE(retry.pass);
        EXPECT_EQ(retry.cause, kv::PassCause::Retry);
        EXPECT_EQ(retry.pass->earlierJobFate, c.found);
        EXPECT_EQ(retry.pass->receipts, c.found == JobFate::Taken ? 0 : 2);
        // A second copy would reach the printer before this receipt.
        queue(kStation, 1, "'after'");
        posQueue.processPosCommands(printerName);
        EXPECT_EQ(printer.bytesSince(mark, 2).toStdString(), all + kSel + "after" + kCut);
        untilOnPaper();
        EXPECT_EQ(queued(kStation), "");
        EXPECT_EQ(posQueue.cancelHeldLeftovers(printerName).cancelled, 0);
    }
}

// A job whose number never reached us (the answer to its creation lost, or
// a run that ended before it wrote the number down) is found by its name,
// among the server's finished jobs too: one that printed counts as taken,
// or its receipts would print twice.
TEST_F(PosQueueThroughCups, AJobKnownOnlyByItsNameCountsAsTakenAfterItPrinted)
{
    const std::string name = "kv-by-name-" + std::to_string(::getpid());
    const std::string queueName = printerName.toStdString();
    {
        const auto handle = spooler.openPrinter(queueName);
        ASSERT_TRUE(handle && handle->startDocument({name, std::nullopt, std::nullopt}));
        ASSERT_TRUE(testprinter::writeAll(*handle, "known by name"));
        ASSERT_TRUE(handle->endDocument());
    }
    ASSERT_TRUE(testenv::pollUntil(
        [&] { return spooler.followJob({queueName, name, 0}) == kv::platform::JobStage::Printed; },
        std::chrono::seconds(20)));
    EXPECT_EQ(spooler.settleJob({queueName, name, 0}), kv::platform::JobFate::Taken);
}

// A launcher that ends in mid-upload (here its pass fails at the second row
// and drops the job, as a killed one's connection drops) leaves a held job
// and no part of a receipt on paper; the next run cancels that job at
// start-up and prints every receipt once.
TEST_F(PosQueueThroughCups, UploadCutOffInMidDocumentPrintsNothingOfIt)
{
    // Big enough that part of it has left the launcher when the upload ends.
    queue(kStation, 1, "repeat('x', 100000)");
    queue(kStation, 1, "'second'");
    const auto mark = printer.mark();
    library.interruptAt = 1;
    library.atRow = [] { throw LibraryFailed(); };
    EXPECT_THROW(posQueue.processPosCommands(printerName), LibraryFailed);
    // Station 31's launcher, cut off likewise on the same printer: not ours.
    const std::string station31 = kv::poscommands::jobNamePrefix(QStringLiteral("31")).toStdString();
    {
        auto other = spooler.openPrinter(printerName.toStdString());
        ASSERT_TRUE(other && other->startDocument({station31 + "x", std::nullopt, std::nullopt}));
        ASSERT_TRUE(testprinter::writeAll(*other, "not ours"));
    }

    kv::PosCommandQueue nextRun(library, libraryConnection, spooler, journal);
    // An empty name is the default printer, where nothing of ours is held.
    const kv::LeftoverReport elsewhere = nextRun.cancelHeldLeftovers(QString());
    EXPECT_EQ(elsewhere.printerName.toStdString(), testprinter::defaultQueue());
    EXPECT_EQ(elsewhere.cancelled, 0);
    const kv::LeftoverReport leftovers = nextRun.cancelHeldLeftovers(printerName);
    EXPECT_TRUE(leftovers.asked);
    EXPECT_EQ(leftovers.cancelled, 1);
    EXPECT_EQ(spooler.cancelHeldJobs(printerName.toStdString(), station31), 1) << "station 31's job was not held";
    // The job cut off goes again alone, as far as it got; then the rest.
    EXPECT_EQ(nextRun.processPosCommands(printerName).receipts, 1);
    EXPECT_EQ(nextRun.processPosCommands(printerName).receipts, 1);
    const std::string printed = printer.bytesSince(mark, 2).toStdString();
    EXPECT_TRUE(printed == kSel + std::string(100000, 'x') + kCut + kSel + "second" + kCut)
        << "the first job has " << printed.size() << " bytes";
    untilOnPaper(nextRun);
    EXPECT_EQ(queued(kStation), "");
}
