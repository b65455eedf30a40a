// The printer channel against the recording spooler, which shows what the
// bytes at a printer cannot: write boundaries, jobs left open, and steps that
// must not reach the spooler at all. The bytes of a receipt and what the
// spooler took are the POS queue's tests' (test_posqueue).
#include "escpos/vbEscpos.h"

#include "platform/fakes/recordingspooler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using kv::platform::RecordingSpooler;
using Kind = RecordingSpooler::Op::Kind;

namespace kv::platform {
void PrintTo(Kind k, std::ostream *os) { *os << toString(k); }
} // namespace kv::platform

namespace {

class EscposChannelTest : public ::testing::Test {
protected:
    EscposChannelTest() { spooler.setPrinters({"KV_Kitchen", "KV_Office", "KV_Receipt"}, "KV_Receipt"); }

    // Opens KV_Office and forgets the open, so a test sees only its own steps.
    void openOffice()
    {
        QString name = "KV_Office";
        ASSERT_TRUE(channel.escposOpen("Korvantis POS Test", name));
        spooler.clearOps();
    }

    RecordingSpooler spooler;
    kv::EscposChannel channel{spooler};
};

} // namespace

TEST_F(EscposChannelTest, FailedOpenStartsNothingAndLaterStepsDoNothing)
{
    const struct {
        const char *what, *name, *nameAfter, *defaultPrinter;
        bool reachable;
    } cases[] = {
        {"no such printer", "KV_Missing", "KV_Missing", "KV_Receipt", true},
        {"empty name, no default", "", "", "", true},
        {"spooler unreachable", "KV_Receipt", "KV_Receipt", "KV_Receipt", false},
        {"spooler unreachable, empty name", "", "", "KV_Receipt", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        spooler.clearOps();
        spooler.setPrinters({"KV_Kitchen", "KV_Receipt"}, c.defaultPrinter);
        spooler.setReachable(c.reachable);
        QString name = c.name;
        EXPECT_FALSE(channel.escposOpen("Korvantis POS", name));
        EXPECT_EQ(name, c.nameAfter);
        EXPECT_FALSE(channel.isOpen());
        EXPECT_EQ(spooler.openHandles(), 0);
        const auto opsAfterOpen = spooler.ops().size();
        EXPECT_LE(opsAfterOpen, 1u);

        channel.escposStartPage();
        channel.escposSelectReceipt();
        channel.escposWrite("lost");
        channel.escposWriteHex("41");
        channel.escposOpenDrawer();
        channel.escposCut();
        channel.escposEndPage();
        EXPECT_FALSE(channel.escposClose());
        EXPECT_EQ(spooler.ops().size(), opsAfterOpen);
    }
}

TEST_F(EscposChannelTest, HexTextIsReadStrictlyInPairsAndWrittenInOneWrite)
{
    const struct {
        const char *hex;
        std::string expected;
    } cases[] = {
        {"1b63300", std::string("\x1b\x63\x30", 3)}, // odd last digit dropped
        {"ZZ41", std::string("\0\x41", 2)},          // no hex digit: 00
        {"1B7000", std::string("\x1b\x70\x00", 3)},
        {"fFFf0a0B", "\xff\xff\x0a\x0b"},
        {"1G", "\x01"}, // only the leading digit counts
        {"G1", std::string(1, '\0')},
        {"1b 70", std::string("\x1b\0", 2)}, // a blank is no digit; the odd "0" is dropped
        {"", ""},
        {"1", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hex);
        openOffice();
        channel.escposWriteHex(QString::fromLatin1(c.hex));
        EXPECT_EQ(spooler.writes(), std::vector<std::string>{c.expected});
        channel.escposClose();
    }
}

TEST_F(EscposChannelTest, AbandonAndReopenEachEndTheJobOnce)
{
    openOffice();
    channel.escposWrite("half");
    channel.escposAbandon();
    channel.escposClose();
    EXPECT_EQ(spooler.kinds(), (std::vector<Kind>{Kind::Write, Kind::Close}));
    EXPECT_FALSE(channel.isOpen());

    // Opening again finishes the earlier job first.
    openOffice();
    channel.escposWrite("first");
    QString name = "KV_Kitchen";
    ASSERT_TRUE(channel.escposOpen("second", name));
    EXPECT_EQ(spooler.kinds(),
              (std::vector<Kind>{Kind::Write, Kind::EndDocument, Kind::Close, Kind::Open, Kind::StartDocument}));
    EXPECT_EQ(spooler.openHandles(), 1);
}

TEST(EscposPrinterList, NamesThenOneEmptyElementAndExactNamesOnly)
{
    RecordingSpooler spooler;
    const QString kueche = QString::fromUtf8("Küche");
    spooler.setPrinters({"KV_Receipt", kueche.toStdString(), "Bar"}, "Bar");
    EXPECT_EQ(kv::escpos::getPrinterList(spooler), (QStringList{"KV_Receipt", kueche, "Bar", ""}));
    EXPECT_TRUE(kv::escpos::printerExists(spooler, "KV_Receipt"));
    EXPECT_TRUE(kv::escpos::printerExists(spooler, kueche));
    for (const char *near : {"kv_receipt", "KV_Rec", "KV_Receipt ", ""})
        EXPECT_FALSE(kv::escpos::printerExists(spooler, near)) << near;

    spooler.setPrinters({}, "");
    EXPECT_EQ(kv::escpos::getPrinterList(spooler), QStringList{""});
    spooler.setPrinters({"Kitchen"}, "Kitchen");
    spooler.setReachable(false);
    EXPECT_EQ(kv::escpos::getPrinterList(spooler), QStringList{""});
    // The helpers never touch a printer.
    EXPECT_TRUE(spooler.ops().empty());
}
