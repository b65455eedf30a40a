#include "core/helpers.h"
#include "core/textconv.h"

#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

// Visible regular files only (links followed), "*" and "?" in the last
// component only, "[" literal, case kept: how the front-end's files are found.
TEST(FileExists, MatchesVisibleRegularFilesWithStarAndQuestionMark)
{
    testsupport::TempAppDir dir;
    for (const char *name : {"folder.conf", "till[1]"})
        ASSERT_TRUE(QDir(dir.path()).mkdir(QString::fromLatin1(name)));
    for (const char *name : {".hidden", "dralfrontend.conf", "Korvantis.conf", "till[1]/shell.conf"})
        dir.write(QString::fromLatin1(name), "x");
    ASSERT_TRUE(QFile::link(dir.file("nowhere"), dir.file("dangling")));
    const struct {
        const char *name;
        bool found;
    } cases[] = {
        {"dralfrontend.conf", true}, {"folder.conf", false}, {"dangling", false}, {".hidden", false},
        {"*hidden", false}, {"dral?rontend.conf", true}, {"folder.*", false}, {"till[1]/*.conf", true},
        {"korvantis.conf", false}, {"K*.conf", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kv::fileExists(dir.file(QString::fromLatin1(c.name))), c.found) << c.name;
}

// One byte per character on the printer: Windows-1252 where it has one, else
// "?", once even for a character outside the basic plane.
TEST(TextConv, CharactersWithoutAByteBecomeOneQuestionMark)
{
    EXPECT_EQ(kv::text::toPrinterBytes(QString::fromUtf8("é€漢a😀b")), QByteArray("\xe9\x80?a?b"));
}
