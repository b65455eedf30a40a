#include "core/appcontext.h"
#include "core/eventlog.h"
#include "core/helpers.h"

#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

using kv::addBackslash;
using kv::fileExists;

TEST(AddBackslash, AppendsOnlyWhenMissingAndNotEmpty)
{
    EXPECT_EQ(addBackslash(QStringLiteral("/opt/pos")), QStringLiteral("/opt/pos/"));
    EXPECT_EQ(addBackslash(QStringLiteral("/opt/pos/")), QStringLiteral("/opt/pos/"));
    EXPECT_EQ(addBackslash(QStringLiteral("/")), QStringLiteral("/"));
    EXPECT_EQ(addBackslash(QString()), QString());
}

TEST(AppContext, RunningExecutableNamesThisTestProgram)
{
    const kv::AppContext ctx = kv::AppContext::fromRunningExecutable();
    EXPECT_EQ(ctx.launcherName, QStringLiteral("test_core_helpers"));
    EXPECT_TRUE(QFile::exists(ctx.appPath() + ctx.launcherName));
}

// Visible regular files only (links followed), "*" and "?" in the last
// component only, "[" literal, case kept.
TEST(FileExists, MatchesVisibleRegularFilesWithStarAndQuestionMark)
{
    testsupport::TempAppDir dir;
    for (const char *name : {"run.sh", ".hidden", "dralfrontend.conf", "Korvantis.conf", "target"})
        dir.write(QString::fromLatin1(name), "x");
    for (const char *name : {"sub", "d", "folder.conf", "till[1]"})
        ASSERT_TRUE(QDir(dir.path()).mkdir(QString::fromLatin1(name)));
    dir.write(QStringLiteral("till[1]/shell.conf"), "");
    ASSERT_TRUE(QFile::link(dir.file("target"), dir.file("good-link")));
    ASSERT_TRUE(QFile::link(dir.file("nowhere"), dir.file("dangling")));
    ASSERT_TRUE(QFile::link(dir.file("d"), dir.file("dir-link")));
    const struct {
        const char *name;
        bool found;
    } cases[] = {
        {"run.sh", true}, {"sub", false}, {"missing", false}, {"run.sh/", false}, {"good-link", true},
        {"dangling", false}, {"dir-link", false}, {".hidden", false}, {"*hidden", false}, {".*", false},
        {"*.conf", true}, {"dral?rontend.conf", true}, {"*", true}, {"folder.*", false}, {"dral?.conf", false},
        {"*.txt", false}, {"[d]*", false}, {"till[1]/shell.conf", true}, {"till[1]/*.conf", true},
        {"till1/shell.conf", false}, {"Korvantis.conf", true}, {"korvantis.conf", false}, {"k*.conf", false},
        {"K*.conf", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(fileExists(dir.file(QString::fromLatin1(c.name))), c.found) << c.name;
    EXPECT_FALSE(fileExists(QString()));
    EXPECT_FALSE(fileExists(dir.appPath()));
}

// journald stamps its own time and reads the priority from "<N>"; a plain
// session gets both in the line. A line end inside an event never makes a
// second line.
TEST(EventLine, OneTimeAndOnePriorityPerLine)
{
    const QDateTime at(QDate(2026, 12, 6), QTime(9, 5, 7));
    const struct {
        kv::LogPriority priority;
        bool journal;
        const char *event, *line;
    } cases[] = {
        {kv::LogPriority::Error, true, "could not start \"card reader\"", "<3>could not start \"card reader\""},
        {kv::LogPriority::Debug, true, "Database test success", "<7>Database test success"},
        {kv::LogPriority::Warning, false, "rows stay queued:\r\nno printer",
         "2026-12-06 09:05:07 warning: rows stay queued:  no printer"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kv::eventLine(c.priority, QString::fromUtf8(c.event), at, c.journal), QString::fromUtf8(c.line));
}
