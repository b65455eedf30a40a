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

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray b;
    for (int v : values)
        b.append(char(v));
    return b;
}

} // namespace

TEST(EscposThroughCups, ReceiptOnTheDefaultPrinterArrivesByteForByte)
{
    TestPrinter printer(testprinter::defaultQueue());
    const auto mark = printer.mark();
    CupsSpooler spooler;
    EscposChannel channel(spooler);

    QString name;
    ASSERT_TRUE(channel.escposOpen("Korvantis POS", name)) << spooler.lastError();
    EXPECT_EQ(name, printer.name());

    QString text = QStringLiteral("Caf");
    text += QChar(0xE9);
    text += QChar(0x00);
    text += QChar(0x1B);
    text += QChar(0xFF);
    text += QStringLiteral(" 4,50 ");
    text += QChar(0x20AC);
    text += QChar('\n');
    channel.escposStartPage();
    channel.escposSelectReceipt();
    channel.escposWrite(text);
    channel.escposCut();
    channel.escposOpenDrawer();
    channel.escposEndPage();
    channel.escposClose();

    const QByteArray expected = bytes({0x1B, 0x63, 0x30, 0x02}) + bytes({'C', 'a', 'f', 0xE9, 0x00, 0x1B, 0xFF}) +
                                QByteArray(" 4,50 ") + bytes({0x80, '\n'}) + bytes({0x1D, 0x56, 0x42, 0x00}) +
                                bytes({0x1B, 0x70, 0x00, 0x19, 0xFA}) + bytes({0x1B, 0x70, 0x01, 0x19, 0xFA});
    EXPECT_EQ(printer.bytesSince(mark).toHex(' '), expected.toHex(' '));

    const auto jobs = testprinter::serverJobs(printer.queue());
    ASSERT_FALSE(jobs.empty());
    EXPECT_EQ(jobs.back().title, "Korvantis POS");
}

TEST(EscposThroughCups, PrinterListAndExistenceComeFromTheServer)
{
    CupsSpooler spooler;
    const QStringList list = kv::escpos::getPrinterList(spooler);
    const auto queues = testprinter::queues();
    ASSERT_EQ(list.size(), qsizetype(queues.size()) + 1);
    EXPECT_EQ(list.last(), "");
    for (const std::string &q : queues) {
        const QString name = QString::fromStdString(q);
        EXPECT_TRUE(list.contains(name)) << q;
        EXPECT_TRUE(kv::escpos::printerExists(spooler, name)) << q;
        // CUPS itself finds queues in any letter case; the helper does not.
        EXPECT_FALSE(kv::escpos::printerExists(spooler, name.toLower())) << q;
    }
    EXPECT_FALSE(kv::escpos::printerExists(spooler, "KV_NoSuchQueue"));
}
