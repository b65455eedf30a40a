// One pass over the POS queue against the recording client library and the
// recording spooler: the order of library calls and printer steps, pages and
// write boundaries, and the paths a real printer and database cannot easily
// be made to take (a read row of another device, an error in mid-pass).
#include "escpos/vbPosCommands.h"

#include "config/vbDraldbFake.h"
#include "platform/fakes/recordingspooler.h"
#include "scriptedprompter.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

using kv::DraldbClient;
using kv::EscposChannel;
using kv::FakeDraldb;
using kv::PosCommandQueue;
using kv::platform::RecordingSpooler;
using Kind = RecordingSpooler::Op::Kind;

namespace {

const QString kStation3Query =
    "Select * from poscommands where stationid =3 AND ( 0 = 1  OR device=1 OR device=2) ORDER BY id ";

const QString kSelect = "Write 1b 63 30 02";
const QString kCut = "Write 1d 56 42 00";
const QString kPin2 = "Write 1b 70 00 19 fa";
const QString kPin5 = "Write 1b 70 01 19 fa";

QString write(const QByteArray &bytes) { return "Write " + QString::fromLatin1(bytes.toHex(' ')); }

// The fake library with every call also placed on the spooler's time line,
// so that one list shows library calls and printer steps in the order they
// happened. It can also make a call fail the way a run-time error would.
class TimelineDraldb final : public DraldbClient {
public:
    TimelineDraldb(FakeDraldb &fake, RecordingSpooler &spooler) : m_fake(fake), m_spooler(spooler) {}

    // The first call whose text starts with this throws instead of running.
    QString throwAt;
    // Runs after every call with its text: a test's way into mid-pass.
    std::function<void(const QString &)> afterCall;

    // Library calls and spooler operations interleaved as they happened.
    QStringList timeline() const
    {
        QStringList out;
        const auto &ops = m_spooler.ops();
        qsizetype call = 0;
        for (std::size_t op = 0; op <= ops.size(); ++op) {
            while (call < m_at.size() && m_at[call] == op)
                out << m_fake.calls[call++];
            if (op == ops.size())
                break;
            const auto &o = ops[op];
            switch (o.kind) {
            case Kind::Open: out << QString("Open %1%2").arg(QString::fromStdString(o.printer), o.ok ? "" : " failed"); break;
            case Kind::StartDocument: out << "StartDocument " + QString::fromStdString(o.doc.documentName); break;
            case Kind::Write: out << write(QByteArray::fromStdString(o.bytes)); break;
            default: out << kv::platform::toString(o.kind); break;
            }
        }
        return out;
    }

    // Runs a call of the fake and notes where on the spooler's time line
    // it came.
    template<class F>
    auto logged(F call)
    {
        const auto before = m_fake.calls.size();
        auto result = call();
        for (auto i = before; i < m_fake.calls.size(); ++i)
            m_at.append(m_spooler.ops().size());
        if (afterCall && m_fake.calls.size() > before)
            afterCall(m_fake.calls.last());
        if (!throwAt.isEmpty() && m_fake.calls.size() > before && m_fake.calls.last().startsWith(throwAt)) {
            throwAt.clear();
            throw std::runtime_error("the library failed");
        }
        return result;
    }

    qint32 system_init(const QString &s) override { return m_fake.system_init(s); }
    qint32 VB_notify_listen(qint32 c, const QString &s) override { return m_fake.VB_notify_listen(c, s); }
    QString VB_notify_check(qint32 c) override { return m_fake.VB_notify_check(c); }
    QString config_getvalue(const QString &sKey) override
    {
        return logged([&] { return m_fake.config_getvalue(sKey); });
    }
    QString VB_new_sql(qint32 c, const QString &sSql, qint32 &rs, qint32 flags) override
    {
        return logged([&] { return m_fake.VB_new_sql(c, sSql, rs, flags); });
    }
    qint32 VB_numrecord(qint32 rs) override
    {
        return logged([&] { return m_fake.VB_numrecord(rs); });
    }
    qint32 VB_moveto(qint32 rs, qint32 index) override
    {
        return logged([&] { return m_fake.VB_moveto(rs, index); });
    }
    QString VB_getvalue(qint32 rs, const QString &sTable, const QString &sColumn, qint32 &row) override
    {
        return logged([&] { return m_fake.VB_getvalue(rs, sTable, sColumn, row); });
    }
    QString VB_delete(qint32 rs, const QString &sTable, qint32 &row) override
    {
        return logged([&] { return m_fake.VB_delete(rs, sTable, row); });
    }
    void VB_free(qint32 &rs) override
    {
        logged([&] {
            m_fake.VB_free(rs);
            return 0;
        });
    }

private:
    FakeDraldb &m_fake;
    RecordingSpooler &m_spooler;
    QList<std::size_t> m_at;
};

class PosQueuePass : public ::testing::Test {
protected:
    PosQueuePass()
    {
        spooler.setPrinters({"KV_Kitchen", "KV_Receipt"}, "KV_Receipt");
        fake.config["stationid"] = "3";
        shellConf.esc_printer = "KV_Kitchen";
    }

    // The queue as the database holds it; the statement gives whatever rows
    // the test queued, oldest first, so a test also controls what is "read".
    void queue(const QString &id, const QString &device, const QString &command = QString())
    {
        fake.tables["poscommands"].append(FakeDraldb::Row{{"id", id}, {"device", device}, {"command", command}});
    }
    void answerWithQueue()
    {
        fake.answer = [this](const QString &) -> std::optional<QList<FakeDraldb::Row>> {
            return fake.tables.value("poscommands");
        };
    }
    QStringList remainingIds() const
    {
        QStringList ids;
        for (const auto &row : fake.tables.value("poscommands"))
            ids << row.value("id");
        return ids;
    }

    FakeDraldb fake;
    RecordingSpooler spooler;
    TimelineDraldb library{fake, spooler};
    EscposChannel channel{spooler};
    kv::LauncherSettings shellConf;
    testsupport::ScriptedPrompter prompter;
    qint32 libraryConnection = 0;
    PosCommandQueue posQueue{library, libraryConnection, channel, shellConf, prompter};
};

} // namespace

TEST_F(PosQueuePass, LibraryCallsAndPrinterStepsComeInTheirOrder)
{
    queue("10", "1", "Bon 1\n");
    queue("11", "2");
    queue("12", "1", QString("A") + QChar(0x1B) + "|fPB");
    answerWithQueue();
    // The connection is opened after the queue object exists, as at start-up.
    libraryConnection = fake.system_init("ignored");
    fake.calls.clear();

    posQueue.processPosCommands();

    const QStringList expected = {
        "config_getvalue(stationid)",
        "VB_new_sql(1, " + kStation3Query + ", 0)",
        "VB_numrecord(1)",
        "Open KV_Kitchen",
        "StartDocument Korvantis POS",
        "VB_moveto(1, 0)",
        "VB_getvalue(1, , command, 1)",
        "VB_getvalue(1, , device, 1)",
        "StartPage",
        kSelect,
        write("Bon 1\n"),
        kCut,
        "EndPage",
        "VB_moveto(1, 1)",
        "VB_getvalue(1, , command, 2)",
        "VB_getvalue(1, , device, 2)",
        "StartPage",
        kSelect,
        kPin2,
        kPin5,
        "EndPage",
        "VB_moveto(1, 2)",
        "VB_getvalue(1, , command, 3)",
        "VB_getvalue(1, , device, 3)",
        "StartPage",
        kSelect,
        write(QByteArray("A\x1d\x56\x42", 4) + QByteArray(1, '\0') + "B"),
        "EndPage",
        "EndDocument",
        "Close",
        // Only a job the spooler took lets the rows go, in the order read.
        "VB_delete(1, poscommands, 1)",
        "VB_delete(1, poscommands, 2)",
        "VB_delete(1, poscommands, 3)",
        "VB_free(1)",
    };
    EXPECT_EQ(library.timeline(), expected);
    EXPECT_EQ(spooler.ops()[1].doc, (kv::platform::DocInfo{"Korvantis POS", std::nullopt, std::nullopt}));
    EXPECT_TRUE(remainingIds().isEmpty());
    EXPECT_EQ(fake.openResultSets(), 0);
    EXPECT_EQ(spooler.openHandles(), 0);
    EXPECT_EQ(prompter.busyChanges(), (QList<bool>{true, false}));
    EXPECT_EQ(shellConf.esc_printer, "KV_Kitchen");
}

TEST_F(PosQueuePass, EmptyQueueStillOpensAndClosesAJobWithoutPages)
{
    answerWithQueue();
    libraryConnection = 1;
    posQueue.processPosCommands();
    EXPECT_EQ(spooler.kinds(), (std::vector<Kind>{Kind::Open, Kind::StartDocument, Kind::EndDocument, Kind::Close}));
    EXPECT_EQ(fake.calls.last(), "VB_free(1)");
    EXPECT_EQ(fake.openResultSets(), 0);
}

TEST_F(PosQueuePass, PrinterThatCannotBeOpenedLeavesTheQueueUnreadAndSaysSo)
{
    shellConf.esc_printer = "KV_Gone";
    queue("7", "1", "kept");
    queue("8", "2");
    answerWithQueue();
    libraryConnection = fake.system_init("ignored");
    fake.calls.clear();
    prompter.expectMessage("Could not connect to the printer.", kv::MsgButtons::OK, kv::MsgResult::OK,
                           QString("Korvantis Launcher"), kv::MsgIcon::Critical, true);

    posQueue.processPosCommands();

    prompter.verifyDone();
    EXPECT_EQ(library.timeline(), (QStringList{"config_getvalue(stationid)", "VB_new_sql(1, " + kStation3Query + ", 0)",
                                               "VB_numrecord(1)", "Open KV_Gone failed", "VB_free(1)"}));
    EXPECT_EQ(remainingIds(), (QStringList{"7", "8"}));
    EXPECT_EQ(shellConf.esc_printer, "KV_Gone");
    EXPECT_EQ(prompter.busyChanges(), (QList<bool>{true, false}));
}

TEST_F(PosQueuePass, QueryWithoutResultEndsThePassBeforeThePrinter)
{
    queue("1", "1", "never read");
    // No answer: the statement gives no result set, as a failed query does.
    libraryConnection = fake.system_init("ignored");
    fake.calls.clear();
    posQueue.processPosCommands();
    EXPECT_EQ(library.timeline(),
              (QStringList{"config_getvalue(stationid)", "VB_new_sql(1, " + kStation3Query + ", 0)"}));
    EXPECT_EQ(remainingIds(), QStringList{"1"});
    EXPECT_EQ(prompter.busyChanges(), (QList<bool>{true, false}));
}

TEST_F(PosQueuePass, OnlyTheExactFeedAndCutSequenceSparesTheAddedCut)
{
    const QString esc(QChar(0x1B));
    const std::string cut("\x1d\x56\x42\x00", 4);
    // Near misses are text: another letter case, no ESC, ESC without "|".
    queue("1", "1", esc + "|fp |fP " + esc + "fP");
    // A sequence at the very end is the receipt's own cut.
    queue("2", "1", "end" + esc + "|fP");
    queue("3", "1", "");
    answerWithQueue();
    libraryConnection = 1;

    posQueue.processPosCommands();

    const std::string sel = "\x1b\x63\x30\x02";
    EXPECT_EQ(spooler.writes(), (std::vector<std::string>{sel, "\x1b|fp |fP \x1b" "fP", cut, sel, "end" + cut, sel, "",
                                                          cut}));
    EXPECT_TRUE(remainingIds().isEmpty());
}

TEST_F(PosQueuePass, DeviceTextIsTakenByItsNumericValue)
{
    queue("1", "01", "a");
    queue("2", " 2");
    queue("3", "1.0", "b");
    queue("4", "1.5", "not printed");
    queue("5", "7", "not printed");
    queue("6", "", "not printed");
    queue("7", "receipt", "not printed");
    queue("8", "-1", "not printed");
    queue("9", "1 (printer)", "c");
    answerWithQueue();
    libraryConnection = 1;

    posQueue.processPosCommands();

    const std::string sel = "\x1b\x63\x30\x02";
    const std::string cut("\x1d\x56\x42\x00", 4);
    const std::vector<std::string> expected = {
        sel, "a", cut, sel, std::string("\x1b\x70\x00\x19\xfa", 5), std::string("\x1b\x70\x01\x19\xfa", 5),
        sel, "b", cut, sel, "c",  cut,
    };
    EXPECT_EQ(spooler.writes(), expected);
    // Whatever its device, every row read is gone.
    EXPECT_EQ(fake.deleted.size(), 9);
    EXPECT_TRUE(remainingIds().isEmpty());
}

TEST_F(PosQueuePass, ErrorInMidPassAbandonsTheJobAndKeepsEveryRow)
{
    queue("1", "1", "printed");
    queue("2", "1", "not reached");
    answerWithQueue();
    libraryConnection = 1;
    library.throwAt = "VB_moveto(1, 1)";

    EXPECT_THROW(posQueue.processPosCommands(), std::runtime_error);

    EXPECT_EQ(prompter.busyChanges(), (QList<bool>{true, false}));
    // The receipt written so far is not handed over: its row is still
    // queued, and the next pass prints it once.
    const auto kinds = spooler.kinds();
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds.back(), Kind::Close);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), Kind::EndDocument), 0);
    EXPECT_EQ(spooler.openHandles(), 0);
    EXPECT_EQ(fake.openResultSets(), 0);
    EXPECT_EQ(remainingIds(), (QStringList{"1", "2"}));

    spooler.clearOps();
    posQueue.processPosCommands();
    ASSERT_EQ(spooler.writes().size(), 6u);
    EXPECT_EQ(spooler.writes()[1], "printed");
    EXPECT_EQ(spooler.writes()[4], "not reached");
    EXPECT_TRUE(remainingIds().isEmpty());
}

TEST_F(PosQueuePass, JobTheSpoolerDidNotTakeKeepsEveryRowAndReachesTheCaller)
{
    struct Case {
        const char *what;
        // Writes fail from this row's on; -1 for none.
        int failWritesFromRow = -1;
        bool failEnd = false;
    };
    const Case cases[] = {
        {"first write fails", 0},
        {"write fails in mid-pass", 2},
        {"last receipt's writes fail", 3},
        {"job end refused", -1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fake.tables.clear();
        fake.deleted.clear();
        spooler.clearOps();
        queue("10", "1", "one");
        queue("11", "2");
        queue("12", "1", "two");
        queue("13", "1", "three");
        answerWithQueue();
        libraryConnection = 1;
        library.afterCall = [&](const QString &call) {
            if (c.failWritesFromRow >= 0 && call.startsWith("VB_moveto(") &&
                call.endsWith(QString(", %1)").arg(c.failWritesFromRow)))
                spooler.setFailWrites(true);
        };
        spooler.setFailEndDocument(c.failEnd);

        EXPECT_THROW(posQueue.processPosCommands(), kv::PrintJobNotTaken);
        EXPECT_EQ(remainingIds(), (QStringList{"10", "11", "12", "13"}));
        EXPECT_TRUE(fake.deleted.isEmpty());
        EXPECT_EQ(fake.openResultSets(), 0);
        EXPECT_EQ(spooler.openHandles(), 0);
        EXPECT_FALSE(prompter.busy());

        // Once the spooler takes jobs again, the next pass prints them all.
        library.afterCall = nullptr;
        spooler.setFailWrites(false);
        spooler.setFailEndDocument(false);
        spooler.clearOps();
        posQueue.processPosCommands();
        const std::string sel = "\x1b\x63\x30\x02";
        const std::string cut("\x1d\x56\x42\x00", 4);
        EXPECT_EQ(spooler.bytes(), sel + "one" + cut + sel + std::string("\x1b\x70\x00\x19\xfa\x1b\x70\x01\x19\xfa", 10) +
                                       sel + "two" + cut + sel + "three" + cut);
        EXPECT_TRUE(remainingIds().isEmpty());
    }
}
