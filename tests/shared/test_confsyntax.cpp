#include "shared/confsyntax.h"

#include <gtest/gtest.h>

using confsyntax::parse;
using confsyntax::splitLines;

TEST(ConfSyntax, LinesEndAtCrOrCrLfButNotLfAlone)
{
    EXPECT_EQ(splitLines("a\rb\r\nc"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(splitLines("a\nb\n"), (std::vector<std::string>{"a\nb\n"}));
    EXPECT_EQ(splitLines("a\r\r\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(splitLines("").empty());
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
