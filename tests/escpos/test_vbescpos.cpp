// The printer channel and the printer list against the recording spooler,
// which shows what the bytes at a printer cannot: steps that must not reach
// the spooler at all. The bytes of a receipt and what the spooler took are
// the POS queue's tests' (test_posqueue).
#include "escpos/vbEscpos.h"

#include "platform/fakes/recordingspooler.h"

#include <gtest/gtest.h>

using kv::platform::RecordingSpooler;

TEST(EscposChannel, FailedOpenStartsNothingAndLaterStepsDoNothing)
{
    const struct {
        const char *what, *name, *defaultPrinter;
        bool reachable;
    } cases[] = {
        {"no such printer", "KV_Missing", "KV_Receipt", true},
        {"empty name, no default", "", "", true},
        {"spooler unreachable, empty name", "", "KV_Receipt", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        RecordingSpooler spooler;
        spooler.setPrinters({"KV_Kitchen", "KV_Receipt"}, c.defaultPrinter);
        spooler.setReachable(c.reachable);
        kv::EscposChannel channel{spooler};
        QString name = c.name;
        EXPECT_FALSE(channel.escposOpen("Korvantis POS", name));
        EXPECT_FALSE(channel.isOpen());
        const auto opsAfterOpen = spooler.ops().size();
        EXPECT_LE(opsAfterOpen, 1u);

        channel.escposStartPage();
        channel.escposSelectReceipt();
        channel.escposWrite("lost");
        channel.escposOpenDrawer();
        channel.escposCut();
        channel.escposEndPage();
        EXPECT_FALSE(channel.escposClose());
        EXPECT_EQ(spooler.ops().size(), opsAfterOpen);
        EXPECT_EQ(spooler.openHandles(), 0);
    }
}

// The launcher counts printers as the list's size less one.
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
    // The helpers never touch a printer.
    EXPECT_TRUE(spooler.ops().empty());
}
