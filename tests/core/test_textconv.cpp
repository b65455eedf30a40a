#include "core/clock.h"
#include "core/textconv.h"

#include <gtest/gtest.h>

using kv::text::fromUtf8;
using kv::text::toPrinterBytes;

TEST(TextConv, PrinterBytesAreOnePerCharacter)
{
    QString s;
    for (int cp : {0x00, 0x1B, 0x41, 0x7F, 0x80, 0xA3, 0xE9, 0xFF})
        s.append(QChar(cp));
    EXPECT_EQ(toPrinterBytes(s), QByteArray("\x00\x1b\x41\x7f\x80\xa3\xe9\xff", 8));
}

TEST(TextConv, Windows1252ExtrasBecomeTheirBytesOthersAQuestionMark)
{
    EXPECT_EQ(toPrinterBytes(QString::fromUtf8("€")), QByteArray("\x80"));
    EXPECT_EQ(toPrinterBytes(QString::fromUtf8("„…‘’“”•–—™šœŸ")),
              QByteArray("\x84\x85\x91\x92\x93\x94\x95\x96\x97\x99\x9a\x9c\x9f"));
    EXPECT_EQ(toPrinterBytes(QString::fromUtf8("漢Ω")), QByteArray("??"));
    // A character outside the basic plane is one character, one "?".
    EXPECT_EQ(toPrinterBytes(QString::fromUtf8("a😀b")), QByteArray("a?b"));
}
