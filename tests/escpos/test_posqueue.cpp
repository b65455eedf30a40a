// The POS queue: against the fake client library and the recording spooler
// for write boundaries and failures real servers cannot easily be made to
// show; then from the test cluster through the client library and the
// private print server to the test printer.
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

#include <QDir>
#include <QFile>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

using kv::FakeDraldb;
using kv::platform::RecordingSpooler;
using testprinter::TestPrinter;
using Kind = RecordingSpooler::Op::Kind;

namespace {

const std::string kSel("\x1b\x63\x30\x02", 4);
const std::string kCut("\x1d\x56\x42\x00", 4);
const std::string kPin2("\x1b\x70\x00\x19\xfa", 5);
const std::string kPin5("\x1b\x70\x01\x19\xfa", 5);

struct LibraryFailed {};

class PosQueuePass : public ::testing::Test {
protected:
    PosQueuePass()
    {
        spooler.setPrinters({"KV_Kitchen", "KV_Receipt"}, "KV_Receipt");
        fake.config["stationid"] = "3";
        // The statement gives whatever rows the test queued, oldest first.
        fake.answer = [this](const QString &) { return std::optional(fake.tables.value("poscommands")); };
    }
    void queue(const QString &id, const QString &device, const QString &command = QString())
    {
        fake.tables["poscommands"].append(FakeDraldb::Row{{"id", id}, {"device", device}, {"command", command}});
    }
    QStringList remainingIds() const
    {
        QStringList ids;
        for (const auto &row : fake.tables.value("poscommands"))
            ids << row.value("id");
        return ids;
    }
    kv::PosPassReport pass() { return posQueue.processPosCommands(printer); }

    FakeDraldb fake;
    RecordingSpooler spooler;
    InterruptedLibrary library{fake};
    testsupport::TempAppDir dir;
    kv::PrintJournal journal{dir.file(kv::PrintJournal::fileName())};
    QString printer = "KV_Kitchen";
    qint32 libraryConnection = 1;
    kv::PosCommandQueue posQueue{library, libraryConnection, spooler, journal};
};

// A job the spooler did not take, or an error before the hand-over, keeps
// every row of the pass, and the next pass prints each receipt once. Rows
// whose job was taken but not deleted are journalled, so that the next
// program run deletes them without printing them again.
TEST_F(PosQueuePass, OnlyWhatTheSpoolerTookLeavesTheQueueAndNothingPrintsTwice)
{
    enum How { FailWrites, FailEnd, Throw, ThrowAtDelete };
    const struct {
        const char *what;
        How how;
        int fromRow;
    } cases[] = {
        {"write fails in mid-pass", FailWrites, 2},
        {"job end refused", FailEnd, -1},
        {"library error in mid-pass", Throw, 1},
        {"library error at the first delete", ThrowAtDelete, -1},
    };
    const std::string all = kSel + "one" + kCut + kSel + kPin2 + kPin5 + kSel + "two" + kCut;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake.tables.clear();
        spooler.clearOps();
        queue("10", "1", "one");
        queue("11", "2");
        queue("12", "1", "two");
        spooler.setFailEndDocument(c.how == FailEnd);
        library.interruptAt = c.fromRow;
        library.atRow = [&] {
            if (c.how == Throw)
                throw LibraryFailed();
            spooler.setFailWrites(true);
        };
        if (c.how == ThrowAtDelete)
            library.atDelete = [] { throw LibraryFailed(); };
        const bool taken = c.how == ThrowAtDelete;

        if (c.how == Throw || c.how == ThrowAtDelete) {
            EXPECT_THROW(pass(), LibraryFailed);
        } else {
            const kv::PosPassReport report = pass();
            EXPECT_TRUE(report.rowsLeftQueued);
            EXPECT_FALSE(report.jobAccepted);
        }
        // The receipts written before a library error are not handed over.
        const auto kinds = spooler.kinds();
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), Kind::EndDocument), c.how == Throw ? 0 : 1);
        EXPECT_EQ(remainingIds(), (QStringList{"10", "11", "12"}));
        EXPECT_EQ(fake.openResultSets(), 0);
        EXPECT_EQ(spooler.openHandles(), 0);

        spooler.setFailWrites(false);
        spooler.setFailEndDocument(false);
        spooler.clearOps();
        kv::PrintJournal reread(dir.file(kv::PrintJournal::fileName()));
        kv::PosCommandQueue next(library, libraryConnection, spooler, reread);
        const kv::PosPassReport report = next.processPosCommands(printer);
        EXPECT_EQ(spooler.bytes(), taken ? std::string() : all);
        EXPECT_EQ(report.alreadyPrinted, taken ? 3 : 0);
        EXPECT_TRUE(remainingIds().isEmpty());
        EXPECT_FALSE(QFile::exists(dir.file(kv::PrintJournal::fileName())));
    }
}

constexpr int kStation = 3;
constexpr int kOtherStation = 4;

// What psql printed, without the line end.
std::string sql(const std::string &statement)
{
    std::string out = testenv::psql(statement);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
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

void killPrintServer()
{
    const int pid = testprinter::printServerPid();
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    // Dead once it has let go of its sockets.
    ASSERT_TRUE(draldbtest::pollUntil(
        [pid] {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string field;
            return !(stat >> field >> field >> field) || field == "Z";
        },
        std::chrono::seconds(5)));
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
    kv::LibraryFindings jobUntilAPass()
    {
        std::optional<kv::LibraryFindings> found;
        EXPECT_TRUE(draldbtest::pollUntil(
            [&] {
                clock.advanceMs(1000);
                jobs.startJob(printerName, {});
                found = jobs.takeFindings();
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
// byte per character (Windows-1252, else "?"), and deletes exactly the rows
// it read.
TEST_F(PosQueueThroughCups, NotifiedPassPrintsThisStationsRowsByteForByte)
{
    TestPrinter defaultPrinter(testprinter::defaultQueue());
    printerName = QString();
    const std::string other1 = queue(kOtherStation, 1, "'not ours'");
    queue(kStation, 1, "E'Caf\\u00e9\\x1b\\x7f\\u0080\\u00ff 4,50 \\u20ac\\u2014\\u0416\\n'");
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
    EXPECT_EQ(defaultPrinter.bytesSince(mark).toStdString(), kSel + "Caf\xe9\x1b\x7f\x80\xff 4,50 \x80\x97?\n" + kCut +
                                                                 kSel + "one" + kCut + "two" + kCut + kSel + kPin2 + kPin5);
    EXPECT_EQ(found.pass->rowsDeleted, 5);
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
    EXPECT_EQ(queued(kStation), "");
    EXPECT_FALSE(jobs.retryPending());
}

// The server restarts after the print server took the job and before the
// rows are deleted: the rows stay, and the pass the reconnect brings (what
// was notified meanwhile never comes) deletes them without printing them
// again.
TEST_F(PosQueueThroughCups, ServerRestartBetweenTheJobAndTheDeletesPrintsNothingTwice)
{
    std::string all;
    for (const std::string n : {"1", "2", "3"}) {
        queue(kStation, 1, "'Bon " + n + "'");
        all += kSel + "Bon " + n + kCut;
    }
    const auto mark = printer.mark();
    library.atDelete = [] { testenv::pgctl("restart"); };
    const kv::PosPassReport first = posQueue.processPosCommands(printerName);
    EXPECT_TRUE(first.jobAccepted);
    EXPECT_TRUE(first.rowsLeftQueued);
    EXPECT_NE(queued(kStation), "");

    const kv::LibraryFindings found = jobUntilAPass();
    EXPECT_EQ(found.cause, kv::PassCause::Reconnect);
    EXPECT_EQ(found.pass->alreadyPrinted + first.rowsDeleted, 3);
    EXPECT_EQ(found.pass->receipts, 0);
    EXPECT_EQ(queued(kStation), "");
    EXPECT_EQ(printer.bytesSince(mark).toStdString(), all);
}
