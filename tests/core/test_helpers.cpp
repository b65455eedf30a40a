#include "core/eventlog.h"
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

// journald reads the priority from "<N>" and stamps its own time; a plain
// session gets both in the line. A line end inside an event never makes a
// second line.
TEST(EventLine, OneTimeAndOnePriorityPerLine)
{
    const QDateTime at(QDate(2026, 12, 6), QTime(9, 5, 7));
    EXPECT_EQ(kv::eventLine(kv::LogPriority::Error, QStringLiteral("no start"), at, true), "<3>no start");
    EXPECT_EQ(kv::eventLine(kv::LogPriority::Warning, QStringLiteral("rows stay queued:\r\nno printer"), at, false),
              "2026-12-06 09:05:07 warning: rows stay queued:  no printer");
}

// One byte per character on the printer: Windows-1252 where it has one, else
// "?", once even for a character outside the basic plane.
TEST(TextConv, CharactersWithoutAByteBecomeOneQuestionMark)
{
    EXPECT_EQ(kv::text::toPrinterBytes(QString::fromUtf8("é€漢a😀b")), QByteArray("\xe9\x80?a?b"));
}
