// The printer list as the launcher and the settings dialog get it. The
// printer channel is the POS queue's tests' (test_posqueue).
#include "escpos/vbEscpos.h"

#include "platform/fakes/recordingspooler.h"

#include <gtest/gtest.h>

using kv::platform::RecordingSpooler;

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
