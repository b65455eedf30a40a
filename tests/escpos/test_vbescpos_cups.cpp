// The printer channel through the private print server: what reaches the
// test printer must be exactly what the channel wrote.
#include "escpos/vbEscpos.h"

#include "platform/posix/cupsspooler.h"
#include "testenv.h"
#include "testprinter.h"

#include <gtest/gtest.h>

using kv::EscposChannel;
using kv::platform::CupsSpooler;
using testprinter::TestPrinter;

TEST(EscposThroughCups, ReceiptOnTheDefaultPrinterArrivesByteForByte)
{
    TestPrinter printer(testprinter::defaultQueue());
    const auto mark = printer.mark();
    CupsSpooler spooler;
    EscposChannel channel(spooler);

    QString name;
    ASSERT_TRUE(channel.escposOpen("Korvantis POS", name)) << spooler.lastError();
    EXPECT_EQ(name, printer.name());

    // One byte per character: Latin-1 as itself, Windows-1252's extras as
    // theirs (euro, em dash), anything else "?".
    QString text = QStringLiteral("Caf");
    for (char16_t c : {0xE9, 0x00, 0x1B, 0x7F, 0x80, 0xFF})
        text += QChar(c);
    text += QStringLiteral(" 4,50 ") + QChar(0x20AC) + QChar(0x2014) + QChar(0x0416) + QChar('\n');
    channel.escposStartPage();
    channel.escposSelectReceipt();
    channel.escposWrite(text);
    channel.escposCut();
    channel.escposOpenDrawer();
    channel.escposEndPage();
    EXPECT_TRUE(channel.escposClose());

    static const char expected[] = "\x1b\x63\x30\x02" "Caf\xe9\0\x1b\x7f\x80\xff 4,50 \x80\x97?\n"
                                   "\x1d\x56\x42\0\x1b\x70\0\x19\xfa\x1b\x70\x01\x19\xfa";
    EXPECT_EQ(printer.bytesSince(mark).toHex(' '), QByteArray(expected, sizeof expected - 1).toHex(' '));

    const auto jobs = testprinter::serverJobs(printer.queue());
    ASSERT_FALSE(jobs.empty());
    EXPECT_EQ(jobs.back().title, "Korvantis POS");
}
