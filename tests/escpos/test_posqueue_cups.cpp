// The POS queue end to end: rows in the test cluster's "poscommands", read
// and deleted through the client library, printed through the private print
// server; what counts is the bytes at the test printer and the rows left.
// Also the passes the launcher runs on its own: after the library has
// reconnected, and while the print server is away.
#include "escpos/vbPosCommands.h"
#include "launcher/libraryjobs.h"

#include "draldbtest.h"
#include "interruptedlibrary.h"
#include "platform/posix/cupsspooler.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>
#include <thread>

using testprinter::TestPrinter;

namespace {

constexpr int kStation = 3;
constexpr int kOtherStation = 4;

const QByteArray kSelect("\x1b\x63\x30\x02", 4);
const QByteArray kCut("\x1d\x56\x42\x00", 4);
const QByteArray kDrawer("\x1b\x70\x00\x19\xfa\x1b\x70\x01\x19\xfa", 10);

std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// Queues a row as another part of the system does; commandSql is an SQL
// expression, so tests can write ESC and non-ASCII text as escapes.
std::string queue(int station, int device, const std::string &commandSql = "NULL")
{
    return trimmed(testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (" +
                                 std::to_string(station) + ", " + std::to_string(device) + ", " + commandSql +
                                 ") RETURNING id"));
}

// Ids still queued for a station, oldest first, comma-separated.
std::string queued(int station)
{
    return trimmed(testenv::psql("SELECT coalesce(string_agg(id::text, ',' ORDER BY id), '') FROM poscommands "
                                 "WHERE stationid = " + std::to_string(station)));
}

void killPrintServer()
{
    const int pid = testprinter::printServerPid();
    ASSERT_GT(pid, 1);
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
        // The station id comes from the library's configuration, not from
        // the launcher's settings.
        init(std::to_string(kStation));
        ASSERT_NE(libraryConnection, 0) << "the client library did not reach the test cluster";
        library.VB_notify_listen(libraryConnection, QStringLiteral("poscommands"));
        printerName = printer.name();
    }
    kv::PosPassReport pass() { return posQueue.processPosCommands(printerName); }
    // Library jobs as the launcher's ticks hand them over, until one ran a
    // pass; fails the test when none did within the bound.
    kv::LibraryFindings jobUntilAPass(std::chrono::seconds bound = std::chrono::seconds(20))
    {
        std::optional<kv::LibraryFindings> found;
        EXPECT_TRUE(draldbtest::pollUntil(
            [&] {
                clock.advanceMs(1000);
                jobs.startJob(printerName, {});
                found = jobs.takeFindings();
                return found && found->pass;
            },
            bound));
        return found.value_or(kv::LibraryFindings{});
    }
    void init(const std::string &stationId)
    {
        app.write(QStringLiteral("dralfrontend.conf"),
                  draldbtest::clusterConf() + draldbtest::confLine("stationid", stationId));
        libraryConnection = library.system_init(app.file(QStringLiteral("dralfrontend")));
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
// receipts and drawer rows on the default printer (the setting is empty) and
// deletes exactly the rows it read.
TEST_F(PosQueueThroughCups, NotifiedPassPrintsThisStationsRowsByteForByte)
{
    TestPrinter defaultPrinter(testprinter::defaultQueue());
    printerName = QString();
    for (const char *channelName : {"shutdown", "poscommands", "test", "launcherlistentest"})
        library.VB_notify_listen(libraryConnection, QString::fromLatin1(channelName));
    EXPECT_EQ(library.VB_notify_check(libraryConnection), QString());

    const std::string other1 = queue(kOtherStation, 1, "'not ours'");
    queue(kStation, 1, "E'Caf\\u00e9 4,50 \\u20ac\\n'");
    queue(kStation, 1, "E'one\\x1b|fPtwo\\x1b|fP'");
    for (int n = 0; n < 3; ++n)
        queue(kStation, 2);
    const std::string other2 = queue(kOtherStation, 2);
    // Device 7 is no device the launcher handles: its rows are left to
    // whatever does, like the rows of another station.
    const std::string device7 = queue(kStation, 7, "'for another device'");
    testenv::psql("NOTIFY poscommands, 'payload'");
    const auto mark = defaultPrinter.mark();

    QString channelName;
    ASSERT_TRUE(draldbtest::pollUntil(
        [&] { return !(channelName = library.VB_notify_check(libraryConnection)).isEmpty(); },
        std::chrono::seconds(10)));
    EXPECT_EQ(channelName, QStringLiteral("poscommands"));
    QList<bool> busyChanges;
    posQueue.setBusyHook([&](bool busy) { busyChanges << busy; });
    const kv::PosPassReport report = pass();

    // Three drawer rows give one pulse; a receipt with its own cuts gets no
    // other.
    EXPECT_EQ(defaultPrinter.bytesSince(mark).toHex(' '),
              (kSelect + QByteArray("Caf\xe9 4,50 \x80\n") + kCut + kSelect + "one" + kCut + "two" + kCut + kSelect +
               kDrawer)
                  .toHex(' '));
    EXPECT_EQ(testprinter::serverJobs(defaultPrinter.queue()).back().title, "Korvantis POS");
    EXPECT_EQ(report.printerName, defaultPrinter.name());
    EXPECT_EQ(report.rowsDeleted, 5);
    EXPECT_EQ(queued(kOtherStation), other1 + "," + other2);
    EXPECT_EQ(queued(kStation), device7);
    EXPECT_EQ(testenv::psql("SELECT command FROM poscommands WHERE id = " + device7), "for another device\n");
    EXPECT_EQ(library.VB_notify_check(libraryConnection), QString());
    EXPECT_EQ(busyChanges, (QList<bool>{true, false}));
}

// The station id goes into the query as it is: only a station id may reach
// it, or "3 OR 1=1" would print and delete every station's receipts.
TEST_F(PosQueueThroughCups, OnlyAWholeNumberStationIdReadsTheQueue)
{
    for (const char *stationId :
         {"3 OR 1=1", "3) OR (1=1", "0 OR stationid=4", "3; DELETE FROM poscommands", "abc", "", "3"}) {
        SCOPED_TRACE(stationId);
        testenv::psql("DELETE FROM poscommands");
        const std::string mine = queue(kStation, 1, "'mine'");
        std::string others = queue(kOtherStation, 1, "'not mine'");
        others += "," + queue(kOtherStation, 2);
        init(stationId);
        ASSERT_NE(libraryConnection, 0);
        const auto mark = printer.mark();

        pass();

        EXPECT_EQ(queued(kOtherStation), others);
        if (std::string(stationId) == "3") {
            EXPECT_EQ(printer.bytesSince(mark).toHex(' '), (kSelect + "mine" + kCut).toHex(' '));
            EXPECT_EQ(queued(kStation), "");
        } else {
            EXPECT_EQ(queued(kStation), mine);
        }
    }
}

// The print server goes away with a receipt queued: the pass keeps it, the
// launcher's own retries look for the printer every few seconds without
// printing, and the first look that finds it back prints the receipt once.
TEST_F(PosQueueThroughCups, ReceiptQueuedWhileThePrintServerIsGonePrintsWhenItIsBack)
{
    const std::string receipt = queue(kStation, 1, "'kept'");
    const std::string drawer = queue(kStation, 2);
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
        // Looks while it is gone run no pass.
        for (int look = 0; look < 2; ++look) {
            clock.advanceMs(kv::LibraryJobs::kRetryIntervalMs);
            ASSERT_TRUE(jobs.startJob(printerName, {}));
            const auto found = jobs.takeFindings();
            ASSERT_TRUE(found);
            EXPECT_EQ(found->cause, kv::PassCause::Retry);
            EXPECT_FALSE(found->pass);
        }
        EXPECT_EQ(queued(kStation), receipt + "," + drawer);
    }
    const kv::LibraryFindings back = jobUntilAPass();
    EXPECT_EQ(back.cause, kv::PassCause::Retry);
    const auto jobsAtPrinter = printer.jobsSince(mark, 1);
    ASSERT_EQ(jobsAtPrinter.size(), 1u);
    EXPECT_EQ(jobsAtPrinter[0].toHex(' '), (kSelect + "kept" + kCut + kSelect + kDrawer).toHex(' '));
    EXPECT_EQ(queued(kStation), "");
    EXPECT_FALSE(jobs.retryPending());
}

// A NOTIFY sent while the library reconnects never arrives; the pass that
// follows the reconnect prints the receipt anyway.
TEST_F(PosQueueThroughCups, ReceiptNotifiedDuringAReconnectPrintsOnceTheLibraryIsBack)
{
    const auto mark = printer.mark();
    testenv::pgctl("restart");
    queue(kStation, 1, "'lost notice'");
    testenv::psql("NOTIFY poscommands");
    const kv::LibraryFindings found = jobUntilAPass();
    EXPECT_EQ(found.cause, kv::PassCause::Reconnect);
    EXPECT_EQ(printer.bytesSince(mark).toHex(' '), (kSelect + "lost notice" + kCut).toHex(' '));
    EXPECT_EQ(queued(kStation), "");
}

// The server restarts after the print server took the job and before the
// rows are deleted: the rows stay, and the pass after the reconnect deletes
// them without printing them again.
TEST_F(PosQueueThroughCups, ServerRestartBetweenTheJobAndTheDeletesPrintsNothingTwice)
{
    QByteArray all;
    for (int n = 1; n <= 3; ++n) {
        queue(kStation, 1, "'Bon " + std::to_string(n) + "'");
        all += kSelect + "Bon " + QByteArray::number(n) + kCut;
    }
    const auto mark = printer.mark();
    library.atDelete = [] { testenv::pgctl("restart"); };
    const kv::PosPassReport first = pass();
    EXPECT_TRUE(first.jobAccepted);
    EXPECT_TRUE(first.rowsLeftQueued);
    EXPECT_NE(queued(kStation), "");

    const kv::LibraryFindings found = jobUntilAPass();
    EXPECT_EQ(found.pass->alreadyPrinted + first.rowsDeleted, 3);
    EXPECT_EQ(found.pass->receipts, 0);
    EXPECT_EQ(queued(kStation), "");
    EXPECT_EQ(printer.bytesSince(mark).toHex(' '), all.toHex(' '));
    // Give a second job time to arrive, should there be one.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(printer.jobsReceived(), mark.jobs + 1);
}

TEST_F(PosQueueThroughCups, PrintServerKilledInMidPassLosesNoReceipt)
{
    std::string allIds;
    QByteArray all;
    for (int n = 1; n <= 5; ++n) {
        allIds += (n > 1 ? "," : "") + queue(kStation, 1, "'Bon " + std::to_string(n) + "'");
        all += kSelect + "Bon " + QByteArray::number(n) + kCut;
    }
    const auto mark = printer.mark();

    // Two receipts are at the server when it dies.
    library.interruptAt = 2;
    library.atRow = killPrintServer;
    const kv::PosPassReport report = pass();
    EXPECT_FALSE(report.jobAccepted);
    EXPECT_TRUE(report.rowsLeftQueued);
    testprinter::restorePrintServer();
    EXPECT_EQ(queued(kStation), allIds);

    // The next pass prints all five; whatever the dead server had may come
    // too, before them, but never in their place.
    pass();
    EXPECT_EQ(queued(kStation), "");
    QByteArray last;
    EXPECT_TRUE(draldbtest::pollUntil(
        [&] {
            const int received = printer.jobsReceived();
            if (received > mark.jobs)
                last = printer.jobsSince(TestPrinter::Mark{received - 1}).front();
            return last == all;
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(last.toHex(' '), all.toHex(' '));
}
