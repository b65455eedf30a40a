#include "shared/confsyntax.h"

#include <gtest/gtest.h>

using confsyntax::parse;
using confsyntax::splitLines;

TEST(ConfSyntax, LinesEndAtCrLfCrOrLf)
{
    const struct {
        std::string_view content;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\rb\r\nc", {"a", "b", "c"}},
        {"a\nb\n", {"a", "b"}},
        {"a\r\r\nb\r\n", {"a", "", "b"}},
        // LF then CR is two line ends, not one.
        {"a\n\rb", {"a", "", "b"}},
        {"a\r\n\nb", {"a", "", "b"}},
        {"", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(splitLines(c.content), c.lines) << testing::PrintToString(std::string(c.content));
}

TEST(ConfSyntax, FirstEqualsSplitsAndOnlySpacesAreTrimmed)
{
    const auto e = parse("  db_password =  a=b = c  \r\tdb_host = x\r");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].key, "db_password");
    EXPECT_EQ(e[0].value, "a=b = c");
    EXPECT_EQ(e[1].key, "\tdb_host");
}

TEST(ConfSyntax, CommentsAndLinesWithoutEqualsAreSkipped)
{
    const auto e = parse("   # db_host = hidden\r\ndb_name\r\n\r\nkey=\r\n");
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].key, "key");
    EXPECT_EQ(e[0].value, "");
}
