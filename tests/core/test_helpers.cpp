#include "core/appcontext.h"
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

class FileExists : public ::testing::Test {
protected:
    testsupport::TempAppDir dir;
    QString p(const QString &name) const { return dir.file(name); }
};

TEST_F(FileExists, RegularFilesOnly)
{
    dir.write(QStringLiteral("run.sh"), "x");
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    EXPECT_TRUE(fileExists(p(QStringLiteral("run.sh"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral("sub"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral("missing"))));
    EXPECT_FALSE(fileExists(QString()));
    EXPECT_FALSE(fileExists(dir.appPath()));
    EXPECT_FALSE(fileExists(p(QStringLiteral("run.sh/"))));
}

TEST_F(FileExists, LinksAreFollowed)
{
    dir.write(QStringLiteral("target"), "x");
    ASSERT_TRUE(QFile::link(p(QStringLiteral("target")), p(QStringLiteral("good-link"))));
    ASSERT_TRUE(QFile::link(p(QStringLiteral("nowhere")), p(QStringLiteral("dangling"))));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("d")));
    ASSERT_TRUE(QFile::link(p(QStringLiteral("d")), p(QStringLiteral("dir-link"))));
    EXPECT_TRUE(fileExists(p(QStringLiteral("good-link"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral("dangling"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral("dir-link"))));
}

TEST_F(FileExists, HiddenNamesAreNotFound)
{
    dir.write(QStringLiteral(".hidden"), "x");
    EXPECT_FALSE(fileExists(p(QStringLiteral(".hidden"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral("*hidden"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral(".*"))));
}

TEST_F(FileExists, WildcardsInTheLastComponent)
{
    dir.write(QStringLiteral("dralfrontend.conf"), "x");
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.conf")));
    EXPECT_TRUE(fileExists(p(QStringLiteral("*.conf"))));
    EXPECT_TRUE(fileExists(p(QStringLiteral("dral?rontend.conf"))));
    EXPECT_TRUE(fileExists(p(QStringLiteral("*"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral("folder.*"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral("dral?.conf"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral("*.txt"))));
    // "[" is no wildcard: "[d]*" does not match "dralfrontend.conf".
    EXPECT_FALSE(fileExists(p(QStringLiteral("[d]*"))));
}

TEST_F(FileExists, BracketInDirectoryNameIsJustACharacter)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("till[1]")));
    QFile f(p(QStringLiteral("till[1]/shell.conf")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_TRUE(fileExists(p(QStringLiteral("till[1]/shell.conf"))));
    EXPECT_TRUE(fileExists(p(QStringLiteral("till[1]/*.conf"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral("till1/shell.conf"))));
}

TEST_F(FileExists, MatchingIsCaseSensitive)
{
    dir.write(QStringLiteral("Korvantis.conf"), "x");
    EXPECT_TRUE(fileExists(p(QStringLiteral("Korvantis.conf"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral("korvantis.conf"))));
    EXPECT_FALSE(fileExists(p(QStringLiteral("k*.conf"))));
    EXPECT_TRUE(fileExists(p(QStringLiteral("K*.conf"))));
}
