#include "core/textconv.h"

#include <gtest/gtest.h>

// One byte per character on the printer: Windows-1252 where it has one, else
// "?", once even for a character outside the basic plane.
TEST(TextConv, CharactersWithoutAByteBecomeOneQuestionMark)
{
    EXPECT_EQ(kv::text::toPrinterBytes(QString::fromUtf8("é€漢a😀b")), QByteArray("\xe9\x80?a?b"));
}
