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

// Bytes 80-9F of Windows-1252 as the code page defines them; 0 for the five it
// leaves unused, whose control characters of the same number stay themselves.
TEST(TextConv, EveryWindows1252ByteFromEightyToNinetyF)
{
    constexpr char16_t kCodePage[32] = {
        u'€', 0,     u'‚', u'ƒ', u'„', u'…', u'†', u'‡', u'ˆ', u'‰', u'Š', u'‹', u'Œ', 0,     u'Ž', 0,
        0,    u'‘', u'’', u'“', u'”', u'•', u'–', u'—', u'˜', u'™', u'š', u'›', u'œ', 0,     u'ž', u'Ÿ',
    };
    for (int i = 0; i < 32; ++i) {
        const char byte = char(0x80 + i);
        const char16_t cp = kCodePage[i] ? kCodePage[i] : char16_t(0x80 + i);
        EXPECT_EQ(toPrinterBytes(QString(QChar(cp))), QByteArray(1, byte)) << "U+" << std::hex << int(cp);
    }
}

TEST(TextConv, CharactersWithoutAByteBecomeAQuestionMark)
{
    EXPECT_EQ(toPrinterBytes(QString::fromUtf8("漢Ω")), QByteArray("??"));
    // A character outside the basic plane is one character, one "?".
    EXPECT_EQ(toPrinterBytes(QString::fromUtf8("a😀b")), QByteArray("a?b"));
}
