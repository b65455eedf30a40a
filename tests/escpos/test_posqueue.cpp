// One pass over the POS queue against the fake client library and the
// recording spooler: write boundaries, result sets and printers left open,
// the journal of printed rows, and the failures a real printer and database
// cannot easily be made to show.
#include "escpos/vbPosCommands.h"

#include "config/vbDraldbFake.h"
#include "interruptedlibrary.h"
#include "platform/fakes/recordingspooler.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QFile>

#include <algorithm>
#include <string>
#include <vector>

using kv::FakeDraldb;
using kv::platform::RecordingSpooler;
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

} // namespace

TEST_F(PosQueuePass, DeviceByNumericValueAndOnlyTheExactFeedAndCutSequenceSparesTheAddedCut)
{
    const QString esc(QChar(0x1B));
    queue("1", "01", "a");
    queue("2", " 2");
    queue("3", "1.0", "b");
    for (const char *device : {"1.5", "7", "", "receipt", "-1"})
        queue(device, device, "not printed");
    // Near misses are text: another letter case, no ESC, ESC without "|".
    queue("9", "1 (printer)", esc + "|fp |fP " + esc + "fP");
    // A sequence at the very end is the receipt's own cut.
    queue("10", "1", "end" + esc + "|fP");
    queue("11", "1", "");
    queue("12", "2");

    const kv::PosPassReport report = pass();

    EXPECT_EQ(report.receipts, 5);
    EXPECT_EQ(report.drawerPulses, 1);
    EXPECT_EQ(spooler.writes(), (std::vector<std::string>{kSel, "a", kCut, kSel, kPin2, kPin5, kSel, "b", kCut, kSel,
                                                          "\x1b|fp |fP \x1b" "fP", kCut, kSel, "end" + kCut, kSel, "",
                                                          kCut}));
    const auto kinds = spooler.kinds();
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), Kind::StartPage), 6);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), Kind::EndPage), 6);
    // Whatever its device, every row read is gone.
    EXPECT_EQ(fake.deleted.size(), 12);
    EXPECT_TRUE(remainingIds().isEmpty());
    EXPECT_EQ(fake.openResultSets(), 0);
    EXPECT_EQ(spooler.openHandles(), 0);
}

TEST_F(PosQueuePass, PassesThatPrintNothingFreeTheResultAndKeepTheRows)
{
    const struct {
        const char *what, *printer;
        bool queryAnswers, rows, leftQueued;
        std::vector<Kind> kinds;
    } cases[] = {
        // An empty queue still opens the printer, so a gone one is reported.
        {"empty queue", "KV_Kitchen", true, false, false, {Kind::Open, Kind::StartDocument, Kind::EndDocument, Kind::Close}},
        {"printer missing", "KV_Gone", true, true, true, {Kind::Open}},
        // A failed query ends the pass before the printer.
        {"query fails", "KV_Kitchen", false, true, true, {}},
    };
    QList<bool> busyChanges;
    posQueue.setBusyHook([&](bool busy) { busyChanges << busy; });
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake.tables.clear();
        spooler.clearOps();
        if (c.rows) {
            queue("7", "1", "kept");
            queue("8", "2");
        }
        if (!c.queryAnswers)
            fake.answer = nullptr;
        printer = c.printer;

        const kv::PosPassReport report = pass();

        EXPECT_EQ(report.printerOpened, c.kinds.size() > 1);
        EXPECT_EQ(report.rowsLeftQueued, c.leftQueued);
        EXPECT_EQ(report.failure.isEmpty(), !c.leftQueued);
        EXPECT_EQ(spooler.kinds(), c.kinds);
        EXPECT_EQ(remainingIds(), (c.rows ? QStringList{"7", "8"} : QStringList{}));
        EXPECT_EQ(fake.openResultSets(), 0);
        EXPECT_EQ(spooler.openHandles(), 0);
    }
    EXPECT_EQ(busyChanges, (QList<bool>{true, false, true, false, true, false}));
}

// A job the spooler did not take, or an error before the hand-over, keeps
// every row of the pass, and the next pass prints each receipt once. Rows
// whose job was taken but whose deletes did not get through are not printed
// again.
TEST_F(PosQueuePass, OnlyWhatTheSpoolerTookLeavesTheQueueAndNothingPrintsTwice)
{
    enum How { FailWrites, FailEnd, Throw, FailDeletes, ThrowAtDelete };
    const struct {
        const char *what;
        How how;
        int fromRow;
    } cases[] = {
        {"first write fails", FailWrites, 0},
        {"write fails in mid-pass", FailWrites, 2},
        {"last receipt's writes fail", FailWrites, 3},
        {"job end refused", FailEnd, -1},
        {"library error in mid-pass", Throw, 1},
        {"deletes fail after the job was taken", FailDeletes, -1},
        {"library error at the first delete", ThrowAtDelete, -1},
    };
    const std::string all = kSel + "one" + kCut + kSel + kPin2 + kPin5 + kSel + "two" + kCut + kSel + "three" + kCut;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake.tables.clear();
        fake.deleted.clear();
        spooler.clearOps();
        queue("10", "1", "one");
        queue("11", "2");
        queue("12", "1", "two");
        queue("13", "1", "three");
        spooler.setFailEndDocument(c.how == FailEnd);
        library.failDeletes = c.how == FailDeletes;
        library.interruptAt = c.fromRow;
        library.atRow = [&] {
            if (c.how == Throw)
                throw LibraryFailed();
            spooler.setFailWrites(true);
        };
        if (c.how == ThrowAtDelete)
            library.atDelete = [] { throw LibraryFailed(); };
        const bool taken = c.how == FailDeletes || c.how == ThrowAtDelete;

        if (c.how == Throw || c.how == ThrowAtDelete) {
            EXPECT_THROW(pass(), LibraryFailed);
        } else {
            const kv::PosPassReport report = pass();
            EXPECT_TRUE(report.rowsLeftQueued);
            EXPECT_EQ(report.jobAccepted, taken);
        }
        if (c.how == Throw) {
            // The receipts written so far are not handed over.
            const auto kinds = spooler.kinds();
            EXPECT_EQ(std::count(kinds.begin(), kinds.end(), Kind::EndDocument), 0);
            EXPECT_EQ(kinds.back(), Kind::Close);
        }
        EXPECT_EQ(remainingIds(), (QStringList{"10", "11", "12", "13"}));
        EXPECT_EQ(fake.openResultSets(), 0);
        EXPECT_EQ(spooler.openHandles(), 0);
        EXPECT_EQ(QFile::exists(dir.file(kv::PrintJournal::fileName())), taken);

        spooler.setFailWrites(false);
        spooler.setFailEndDocument(false);
        library.failDeletes = false;
        spooler.clearOps();
        // Another program of the launcher's, started afresh, knows too.
        kv::PrintJournal reread(dir.file(kv::PrintJournal::fileName()));
        kv::PosCommandQueue next(library, libraryConnection, spooler, reread);
        const kv::PosPassReport report = next.processPosCommands(printer);
        EXPECT_EQ(spooler.bytes(), taken ? std::string() : all);
        EXPECT_EQ(report.alreadyPrinted, taken ? 4 : 0);
        EXPECT_TRUE(remainingIds().isEmpty());
        EXPECT_FALSE(QFile::exists(dir.file(kv::PrintJournal::fileName())));
    }
}
