// The printer channel and its commands against the recording spooler, which
// shows what the bytes at a printer cannot: write boundaries, pages, the
// document record, and steps that must not reach the spooler at all.
#include "escpos/vbEscpos.h"

#include "platform/fakes/recordingspooler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using kv::EscposChannel;
using kv::platform::RecordingSpooler;
using Kind = RecordingSpooler::Op::Kind;

namespace kv::platform {
void PrintTo(Kind k, std::ostream *os) { *os << toString(k); }
} // namespace kv::platform

namespace {

std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += char(v);
    return s;
}

class EscposChannelTest : public ::testing::Test {
protected:
    EscposChannelTest() { spooler.setPrinters({"KV_Kitchen", "KV_Office", "KV_Receipt"}, "KV_Receipt"); }

    // Opens KV_Office and forgets the open and the document start, so a test
    // sees only what its own steps did.
    void openOffice()
    {
        QString name = "KV_Office";
        ASSERT_TRUE(channel.escposOpen("Korvantis POS Test", name));
        spooler.clearOps();
    }

    RecordingSpooler spooler;
    EscposChannel channel{spooler};
};

} // namespace

TEST_F(EscposChannelTest, EmptyNameOpensTheDefaultPrinterAndWritesItsNameBack)
{
    QString name;
    ASSERT_TRUE(channel.escposOpen("Korvantis POS", name));
    EXPECT_EQ(name, "KV_Receipt");
    EXPECT_TRUE(channel.isOpen());

    ASSERT_EQ(spooler.ops().size(), 2u);
    EXPECT_EQ(spooler.ops()[0].kind, Kind::Open);
    EXPECT_EQ(spooler.ops()[0].printer, "KV_Receipt");
    EXPECT_EQ(spooler.ops()[1].kind, Kind::StartDocument);
    const auto &doc = spooler.ops()[1].doc;
    EXPECT_EQ(doc.documentName, "Korvantis POS");
    EXPECT_FALSE(doc.outputFile.has_value());
    EXPECT_FALSE(doc.dataType.has_value());

    EXPECT_EQ(channel.documentRecord().pDocName, "Korvantis POS");
    EXPECT_TRUE(channel.documentRecord().pOutputFile.isNull());
    EXPECT_TRUE(channel.documentRecord().pDatatype.isNull());
}

TEST_F(EscposChannelTest, FailedOpenStartsNothingAndLaterStepsDoNothing)
{
    QString name = "KV_Missing";
    EXPECT_FALSE(channel.escposOpen("Korvantis POS", name));
    EXPECT_EQ(name, "KV_Missing");
    EXPECT_FALSE(channel.isOpen());
    EXPECT_EQ(spooler.kinds(), std::vector<Kind>{Kind::Open});
    EXPECT_FALSE(spooler.ops()[0].ok);

    channel.escposStartPage();
    channel.escposSelectReceipt();
    channel.escposWrite("lost");
    channel.escposOpenDrawer();
    channel.escposEndPage();
    channel.escposClose();
    EXPECT_EQ(spooler.ops().size(), 1u);
}

TEST_F(EscposChannelTest, EmptyNameWithoutADefaultPrinterFails)
{
    spooler.setPrinters({"KV_Kitchen"}, "");
    QString name;
    EXPECT_FALSE(channel.escposOpen("Korvantis POS", name));
    EXPECT_EQ(name, "");
    EXPECT_EQ(spooler.openHandles(), 0);
}

TEST_F(EscposChannelTest, UnreachableSpoolerFailsTheOpen)
{
    spooler.setReachable(false);
    QString name = "KV_Receipt";
    EXPECT_FALSE(channel.escposOpen("Korvantis POS", name));
    QString empty;
    EXPECT_FALSE(channel.escposOpen("Korvantis POS", empty));
    EXPECT_EQ(empty, "");
}

TEST_F(EscposChannelTest, ReceiptPageIsOneDocumentWithEachCommandItsOwnWrite)
{
    QString name = "KV_Receipt";
    ASSERT_TRUE(channel.escposOpen("Korvantis POS", name));
    channel.escposStartPage();
    channel.escposSelectReceipt();
    channel.escposWrite("Total 9.99\n");
    channel.escposCut();
    channel.escposOpenDrawer();
    channel.escposEndPage();
    channel.escposClose();

    EXPECT_EQ(spooler.kinds(),
              (std::vector<Kind>{Kind::Open, Kind::StartDocument, Kind::StartPage, Kind::Write, Kind::Write,
                                 Kind::Write, Kind::Write, Kind::Write, Kind::EndPage, Kind::EndDocument,
                                 Kind::Close}));
    EXPECT_EQ(spooler.writes(), (std::vector<std::string>{
                                    bytes({0x1B, 0x63, 0x30, 0x02}),
                                    "Total 9.99\n",
                                    bytes({0x1D, 0x56, 0x42, 0x00}),
                                    bytes({0x1B, 0x70, 0x00, 0x19, 0xFA}),
                                    bytes({0x1B, 0x70, 0x01, 0x19, 0xFA}),
                                }));
    EXPECT_FALSE(channel.isOpen());
    EXPECT_EQ(spooler.openHandles(), 0);
}

TEST_F(EscposChannelTest, DrawerPulsesPinTwoThenPinFiveAsTwoWrites)
{
    openOffice();
    channel.escposOpenDrawer();
    const auto w = spooler.writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], bytes({0x1B, 0x70, 0x00, 0x19, 0xFA}));
    EXPECT_EQ(w[1], bytes({0x1B, 0x70, 0x01, 0x19, 0xFA}));
}

TEST_F(EscposChannelTest, TextBecomesOneByteForEachCharacter)
{
    openOffice();
    QString text = QStringLiteral("A");
    text += QChar(0x00);
    text += QChar(0x1B);
    text += QChar(0x7F);
    text += QChar(0x80);
    text += QChar(0xE9);  // é
    text += QChar(0xFF);  // ÿ
    text += QChar(0x20AC); // €
    text += QChar(0x2014); // em dash, also Windows-1252
    text += QChar(0x0416); // Cyrillic Zhe: not in the code page
    channel.escposWrite(text);
    const auto w = spooler.writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].size(), std::size_t(text.size()));
    EXPECT_EQ(w[0], bytes({'A', 0x00, 0x1B, 0x7F, 0x80, 0xE9, 0xFF, 0x80, 0x97, '?'}));
}

TEST_F(EscposChannelTest, HexTextIsReadStrictlyInPairsAndWrittenInOneWrite)
{
    struct Case {
        const char *hex;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"1b63300", bytes({0x1B, 0x63, 0x30})}, // odd last digit dropped
        {"ZZ41", bytes({0x00, 0x41})},          // no hex digit: 00
        {"1B7000", bytes({0x1B, 0x70, 0x00})},
        {"fFFf0a0B", bytes({0xFF, 0xFF, 0x0A, 0x0B})},
        {"1G", bytes({0x01})}, // only the leading digit counts
        {"G1", bytes({0x00})},
        {"1b 70", bytes({0x1B, 0x00})}, // a blank is no digit; the odd "0" is dropped
        {"", ""},
        {"1", ""},
    };
    for (const Case &c : cases) {
        spooler.clearOps();
        openOffice();
        channel.escposWriteHex(QString::fromLatin1(c.hex));
        const auto w = spooler.writes();
        ASSERT_EQ(w.size(), 1u) << c.hex;
        EXPECT_EQ(w[0], c.expected) << c.hex;
        channel.escposClose();
    }
}

TEST_F(EscposChannelTest, CloseOnAClosedChannelDoesNothing)
{
    channel.escposClose();
    EXPECT_TRUE(spooler.ops().empty());

    openOffice();
    channel.escposClose();
    channel.escposClose();
    EXPECT_EQ(spooler.kinds(), (std::vector<Kind>{Kind::EndDocument, Kind::Close}));
}

TEST_F(EscposChannelTest, CloseSaysWhetherTheSpoolerTookTheWholeJob)
{
    struct Case {
        const char *what;
        bool failWrites, failEnd, taken;
    };
    const Case cases[] = {
        {"all taken", false, false, true},
        {"writes fail", true, false, false},
        {"end fails", false, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        spooler.clearOps();
        spooler.setFailWrites(c.failWrites);
        spooler.setFailEndDocument(c.failEnd);
        QString name = "KV_Receipt";
        ASSERT_TRUE(channel.escposOpen("Korvantis POS", name));
        channel.escposStartPage();
        channel.escposWrite("one");
        channel.escposCut();
        channel.escposEndPage();
        // A failed write does not stop the steps after it.
        EXPECT_EQ(spooler.writes().size(), 2u);
        EXPECT_EQ(channel.escposClose(), c.taken);
        EXPECT_EQ(spooler.kinds().back(), Kind::Close);
        EXPECT_FALSE(channel.isOpen());
    }
    // A failure belongs to its job, not to the next one.
    spooler.setFailWrites(false);
    spooler.setFailEndDocument(false);
    QString name = "KV_Receipt";
    ASSERT_TRUE(channel.escposOpen("Korvantis POS", name));
    channel.escposWrite("two");
    EXPECT_TRUE(channel.escposClose());
    EXPECT_FALSE(channel.escposClose());
}

TEST_F(EscposChannelTest, AbandonClosesWithoutEndingTheDocument)
{
    openOffice();
    channel.escposWrite("half");
    channel.escposAbandon();
    EXPECT_EQ(spooler.kinds(), (std::vector<Kind>{Kind::Write, Kind::Close}));
    EXPECT_FALSE(channel.isOpen());
}

TEST_F(EscposChannelTest, OpeningAgainFinishesTheEarlierJobFirst)
{
    openOffice();
    channel.escposWrite("first");
    QString name = "KV_Kitchen";
    ASSERT_TRUE(channel.escposOpen("second", name));
    EXPECT_EQ(spooler.kinds(), (std::vector<Kind>{Kind::Write, Kind::EndDocument, Kind::Close, Kind::Open,
                                                  Kind::StartDocument}));
    EXPECT_EQ(spooler.openHandles(), 1);
}

TEST(EscposPrinterList, NamesThenOneEmptyElement)
{
    RecordingSpooler spooler;
    spooler.setPrinters({"Kitchen", "Bar", "Front"}, "Bar");
    const QStringList three = kv::escpos::getPrinterList(spooler);
    EXPECT_EQ(three, (QStringList{"Kitchen", "Bar", "Front", ""}));

    spooler.setPrinters({}, "");
    EXPECT_EQ(kv::escpos::getPrinterList(spooler), QStringList{""});

    spooler.setPrinters({"Kitchen"}, "Kitchen");
    spooler.setReachable(false);
    EXPECT_EQ(kv::escpos::getPrinterList(spooler), QStringList{""});
    // The helpers never touch a printer.
    EXPECT_TRUE(spooler.ops().empty());
}

TEST(EscposPrinterList, ExistsOnlyForTheExactName)
{
    RecordingSpooler spooler;
    spooler.setPrinters({"KV_Receipt", QString::fromUtf8("Küche").toStdString()}, "KV_Receipt");
    EXPECT_TRUE(kv::escpos::printerExists(spooler, "KV_Receipt"));
    EXPECT_TRUE(kv::escpos::printerExists(spooler, QString::fromUtf8("Küche")));
    EXPECT_FALSE(kv::escpos::printerExists(spooler, "kv_receipt"));
    EXPECT_FALSE(kv::escpos::printerExists(spooler, "KV_RECEIPT"));
    EXPECT_FALSE(kv::escpos::printerExists(spooler, "KV_Rec"));
    EXPECT_FALSE(kv::escpos::printerExists(spooler, "KV_Receipt "));
    // The list's closing empty element is no printer.
    EXPECT_FALSE(kv::escpos::printerExists(spooler, ""));
}
