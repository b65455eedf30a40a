// The POS queue end to end: rows in the test cluster's "poscommands", read
// and deleted through the client library, printed through the private print
// server; what counts is the bytes at the test printer and the rows left.
#include "escpos/vbPosCommands.h"

#include "draldbtest.h"
#include "platform/posix/cupsspooler.h"
#include "scriptedprompter.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

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

// The real library, with a way into the middle of a pass: `atRow` runs once,
// as the pass moves to that row.
class InterruptedLibrary final : public kv::DraldbClient {
public:
    qint32 interruptAt = -1;
    std::function<void()> atRow;

    qint32 system_init(const QString &s) override { return m_lib.system_init(s); }
    qint32 VB_notify_listen(qint32 c, const QString &s) override { return m_lib.VB_notify_listen(c, s); }
    QString VB_notify_check(qint32 c) override { return m_lib.VB_notify_check(c); }
    QString config_getvalue(const QString &k) override { return m_lib.config_getvalue(k); }
    QString VB_new_sql(qint32 c, const QString &q, qint32 &rs, qint32 f) override
    {
        return m_lib.VB_new_sql(c, q, rs, f);
    }
    qint32 VB_numrecord(qint32 rs) override { return m_lib.VB_numrecord(rs); }
    qint32 VB_moveto(qint32 rs, qint32 index) override
    {
        if (index == interruptAt && atRow)
            std::exchange(atRow, nullptr)();
        return m_lib.VB_moveto(rs, index);
    }
    QString VB_getvalue(qint32 rs, const QString &t, const QString &c, qint32 &row) override
    {
        return m_lib.VB_getvalue(rs, t, c, row);
    }
    QString VB_delete(qint32 rs, const QString &t, qint32 &row) override { return m_lib.VB_delete(rs, t, row); }
    void VB_free(qint32 &rs) override { m_lib.VB_free(rs); }

private:
    kv::DraldbLibrary m_lib;
};

// SIGKILL, then waits until the process has let go of its sockets.
void killProcess(int pid)
{
    ASSERT_GT(pid, 1);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    const auto gone = [pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string field;
        return !(stat >> field >> field >> field) || field == "Z";
    };
    ASSERT_TRUE(draldbtest::pollUntil(gone, std::chrono::seconds(5))) << "cupsd did not die";
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
    InterruptedLibrary library;
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

TEST_F(PosQueueThroughCups, PrintServerKilledInMidPassLosesNoReceipt)
{
    std::vector<std::string> ids;
    QByteArray all;
    for (int n = 1; n <= 5; ++n) {
        ids.push_back(queue(kStation, 1, "'Bon " + std::to_string(n) + "'"));
        all += kSelect + "Bon " + QByteArray::number(n) + kCut;
    }
    const std::string allIds = ids[0] + "," + ids[1] + "," + ids[2] + "," + ids[3] + "," + ids[4];
    const auto mark = printer.mark();

    // Two receipts are at the server when it dies.
    library.interruptAt = 2;
    library.atRow = [] { killProcess(testprinter::printServerPid()); };
    EXPECT_THROW(posQueue.processPosCommands(), kv::PrintJobNotTaken);
    testprinter::restorePrintServer();
    EXPECT_EQ(queued(kStation), allIds);
    EXPECT_FALSE(channel.isOpen());

    // The next pass prints all five; whatever the dead server had may come
    // too, before them, but never in their place.
    posQueue.processPosCommands();
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
