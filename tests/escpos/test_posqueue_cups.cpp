// The POS queue end to end: rows in the test cluster's "poscommands", read
// and deleted through the client library, printed through the private print
// server; what counts is the bytes at the test printer and the rows left.
#include "escpos/vbPosCommands.h"

#include "draldbtest.h"
#include "platform/posix/cupsspooler.h"
#include "scriptedprompter.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <string>

using kv::PosCommandQueue;
using testprinter::TestPrinter;

namespace {

constexpr int kStation = 3;
constexpr int kOtherStation = 4;

const QByteArray kSelect("\x1b\x63\x30\x02", 4);
const QByteArray kCut("\x1d\x56\x42\x00", 4);
const QByteArray kDrawer("\x1b\x70\x00\x19\xfa\x1b\x70\x01\x19\xfa", 10);

// Queues a row as another part of the system does; commandSql is an SQL
// expression, so tests can write ESC and non-ASCII text as escapes.
std::string queue(int station, int device, const std::string &commandSql = "NULL")
{
    std::string id = testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (" +
                                   std::to_string(station) + ", " + std::to_string(device) + ", " + commandSql +
                                   ") RETURNING id");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' '))
        id.pop_back();
    return id;
}

// Ids still queued for a station, oldest first, comma-separated.
std::string queued(int station)
{
    std::string ids = testenv::psql("SELECT coalesce(string_agg(id::text, ',' ORDER BY id), '') FROM poscommands "
                                    "WHERE stationid = " + std::to_string(station));
    while (!ids.empty() && ids.back() == '\n')
        ids.pop_back();
    return ids;
}

class PosQueueThroughCups : public ::testing::Test {
protected:
    void SetUp() override
    {
        testenv::psql("DELETE FROM poscommands");
        // The station id comes from the library's configuration, not from
        // the launcher's settings.
        app.write(QStringLiteral("dralfrontend.conf"),
                  draldbtest::clusterConf() + draldbtest::confLine("stationid", std::to_string(kStation)));
        libraryConnection = library.system_init(app.file(QStringLiteral("dralfrontend")));
        ASSERT_NE(libraryConnection, 0) << "the client library did not reach the test cluster";
        shellConf.esc_printer = printer.name();
    }

    testsupport::TempAppDir app;
    kv::DraldbLibrary library;
    qint32 libraryConnection = 0;
    kv::platform::CupsSpooler spooler;
    kv::EscposChannel channel{spooler};
    kv::LauncherSettings shellConf;
    testsupport::ScriptedPrompter prompter;
    PosCommandQueue posQueue{library, libraryConnection, channel, shellConf, prompter};
    TestPrinter printer{testprinter::otherQueue()};
};

} // namespace

TEST_F(PosQueueThroughCups, ReceiptWithoutTheSequenceIsCutOnce)
{
    queue(kStation, 1, "E'Caf\\u00e9 4,50 \\u20ac\\n'");
    const auto mark = printer.mark();
    posQueue.processPosCommands();
    EXPECT_EQ(printer.bytesSince(mark).toHex(' '),
              (kSelect + QByteArray("Caf\xe9 4,50 \x80\n") + kCut).toHex(' '));
    EXPECT_EQ(queued(kStation), "");
}

TEST_F(PosQueueThroughCups, ReceiptWithTwoSequencesGetsTwoCutsAndNoneAdded)
{
    queue(kStation, 1, "E'one\\x1b|fPtwo\\x1b|fP'");
    const auto mark = printer.mark();
    posQueue.processPosCommands();
    EXPECT_EQ(printer.bytesSince(mark).toHex(' '), (kSelect + "one" + kCut + "two" + kCut).toHex(' '));
    EXPECT_EQ(queued(kStation), "");
}

TEST_F(PosQueueThroughCups, ThreeDrawerRowsGiveOnePulseAndThreeDeletions)
{
    queue(kStation, 2);
    queue(kStation, 2);
    queue(kStation, 2);
    ASSERT_EQ(testenv::psql("SELECT count(*) FROM poscommands"), "3\n");
    const auto mark = printer.mark();
    posQueue.processPosCommands();
    EXPECT_EQ(printer.bytesSince(mark).toHex(' '), (kSelect + kDrawer).toHex(' '));
    EXPECT_EQ(testenv::psql("SELECT count(*) FROM poscommands"), "0\n");
}

TEST_F(PosQueueThroughCups, OnlyThisStationsRowsForPrinterAndDrawerAreReadAndDeleted)
{
    // Device 7 is no device the launcher handles: the query leaves its rows
    // to whatever does, like the rows of another station.
    const std::string other1 = queue(kOtherStation, 1, "'not ours'");
    const std::string own = queue(kStation, 1, "'ours'");
    const std::string other2 = queue(kOtherStation, 2);
    const std::string device7 = queue(kStation, 7, "'for another device'");
    const auto mark = printer.mark();
    posQueue.processPosCommands();
    EXPECT_EQ(printer.bytesSince(mark).toHex(' '), (kSelect + "ours" + kCut).toHex(' '));
    EXPECT_EQ(queued(kOtherStation), other1 + "," + other2);
    EXPECT_EQ(queued(kStation), device7);
    EXPECT_EQ(testenv::psql("SELECT command FROM poscommands WHERE id = " + device7), "for another device\n");
}

TEST_F(PosQueueThroughCups, EmptyQueueSendsNothingAndChangesNoRow)
{
    const std::string other = queue(kOtherStation, 1, "'not ours'");
    const auto mark = printer.mark();
    const auto jobsBefore = testprinter::serverJobs(printer.queue());
    posQueue.processPosCommands();
    // A job without bytes is never handed to the server.
    EXPECT_EQ(testprinter::serverJobs(printer.queue()).size(), jobsBefore.size());

    // A queue's jobs reach its printer in order: if the empty pass had sent
    // anything, it would come before this receipt.
    queue(kStation, 1, "'next'");
    posQueue.processPosCommands();
    const auto jobs = printer.jobsSince(mark, 1);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].toHex(' '), (kSelect + "next" + kCut).toHex(' '));
    EXPECT_EQ(printer.jobsReceived(), mark.jobs + 1);
    EXPECT_EQ(queued(kOtherStation), other);

    // The empty pass still opens the printer: a missing one is reported.
    shellConf.esc_printer = QStringLiteral("KV_NoSuchQueue");
    prompter.expectMessage(QStringLiteral("Could not connect to the printer."), kv::MsgButtons::OK, kv::MsgResult::OK);
    posQueue.processPosCommands();
    prompter.verifyDone();
    EXPECT_EQ(queued(kOtherStation), other);
}

TEST_F(PosQueueThroughCups, MissingPrinterSaysSoAndKeepsTheRowsForLater)
{
    const std::string receipt = queue(kStation, 1, "'kept'");
    const std::string drawer = queue(kStation, 2);
    shellConf.esc_printer = QStringLiteral("KV_NoSuchQueue");
    prompter.expectMessage(QStringLiteral("Could not connect to the printer."), kv::MsgButtons::OK, kv::MsgResult::OK,
                           QStringLiteral("Korvantis Launcher"), kv::MsgIcon::Critical, true);
    const auto mark = printer.mark();
    posQueue.processPosCommands();
    prompter.verifyDone();
    EXPECT_EQ(queued(kStation), receipt + "," + drawer);
    EXPECT_FALSE(channel.isOpen());

    // Once the printer is back, the next notification prints them, and
    // nothing else reached it before.
    shellConf.esc_printer = printer.name();
    posQueue.processPosCommands();
    const auto jobs = printer.jobsSince(mark, 1);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].toHex(' '), (kSelect + "kept" + kCut + kSelect + kDrawer).toHex(' '));
    EXPECT_EQ(queued(kStation), "");
}

TEST_F(PosQueueThroughCups, EmptyPrinterSettingPrintsOnTheDefaultPrinterAndKeepsItsName)
{
    TestPrinter defaultPrinter(testprinter::defaultQueue());
    shellConf.esc_printer = QString();
    queue(kStation, 1, "'default'");
    const auto mark = defaultPrinter.mark();
    posQueue.processPosCommands();
    EXPECT_EQ(shellConf.esc_printer, defaultPrinter.name());
    EXPECT_EQ(defaultPrinter.bytesSince(mark).toHex(' '), (kSelect + "default" + kCut).toHex(' '));
}

TEST_F(PosQueueThroughCups, NotifiedReceiptIsPrintedAndLeavesTheQueue)
{
    for (const char *channelName : {"shutdown", "poscommands", "test", "launcherlistentest"})
        library.VB_notify_listen(libraryConnection, QString::fromLatin1(channelName));
    EXPECT_EQ(library.VB_notify_check(libraryConnection), QString());

    // Another program queues a receipt and tells the launchers.
    testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (" + std::to_string(kStation) +
                  ", 1, E'Bon 17\\x1b|fP'); NOTIFY poscommands, 'payload'");
    const auto mark = printer.mark();

    QString channelName;
    ASSERT_TRUE(draldbtest::pollUntil(
        [&] { return !(channelName = library.VB_notify_check(libraryConnection)).isEmpty(); },
        std::chrono::seconds(10)))
        << "the notification did not arrive";
    EXPECT_EQ(channelName, QStringLiteral("poscommands"));
    posQueue.processPosCommands();

    EXPECT_EQ(printer.bytesSince(mark).toHex(' '), (kSelect + "Bon 17" + kCut).toHex(' '));
    EXPECT_EQ(queued(kStation), "");
    EXPECT_EQ(library.VB_notify_check(libraryConnection), QString());
    EXPECT_EQ(prompter.busyChanges(), (QList<bool>{true, false}));
}
