// shell.conf: import from the front-end's file, read, rewrite, exact bytes.
#include "config/vbConfig.h"

#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using kv::LauncherSettings;
using kv::Outcome;
using kv::config::importFrontEndConfig;
using kv::config::readShellConfig;

namespace {

class ShellConf : public ::testing::Test {
protected:
    testsupport::TempAppDir dir;
    kv::AppContext ctx{dir.path(), QStringLiteral("korvantis-launcher")};
    testsupport::ScriptedPrompter prompter;

    QString shellConf() const { return dir.file(QStringLiteral("shell.conf")); }

    Outcome import() { return importFrontEndConfig(shellConf(), ctx, prompter); }
    LauncherSettings read() { return readShellConfig(shellConf(), ctx); }

    unsigned mode() const
    {
        struct stat st {};
        if (::stat(shellConf().toLocal8Bit().constData(), &st) != 0)
            return 0;
        return st.st_mode & 07777;
    }
};

// --- import ---------------------------------------------------------------

TEST_F(ShellConf, ImportCopiesDatabaseKeysInFileOrderRepeatsIncluded)
{
    dir.write(QStringLiteral("dralfrontend.conf"),
              "db_name = pos\r\n"
              "stationid = 7\r\n"
              "  # db_host = commented\r\n"
              "db_host =  first  \r\n"
              "esc_printer = TM88\r\n"
              "db_password = a=b=c\r\n"
              "DB_USERNAME = capitals\r\n"
              "\tdb_username = tabbed\r\n"
              "db_username: colon\r\n"
              "db_host = second\r\n"
              "db_username =  till \r\n"
              "db_username_admin = admin\r\n"
              "db_password_admin = secret\r\n"
              "launcher = other\r\n");
    EXPECT_EQ(import(), Outcome::Continue);
    EXPECT_EQ(dir.read(QStringLiteral("shell.conf")),
              QByteArray("db_name = pos\r\n"
                         "db_host = first\r\n"
                         "db_password = a=b=c\r\n"
                         "db_host = second\r\n"
                         "db_username = till\r\n"
                         "db_username_admin = admin\r\n"
                         "db_password_admin = secret\r\n"));
    EXPECT_EQ(mode(), 0600u);
}

TEST_F(ShellConf, ImportPrefersDralfrontendOverKorvantisConf)
{
    dir.write(QStringLiteral("korvantis.conf"), "db_host = from-korvantis\r\n");
    import();
    EXPECT_EQ(dir.read(QStringLiteral("shell.conf")), QByteArray("db_host = from-korvantis\r\n"));

    dir.write(QStringLiteral("dralfrontend.conf"), "db_host = from-dral\r");
    import();
    EXPECT_EQ(dir.read(QStringLiteral("shell.conf")), QByteArray("db_host = from-dral\r\n"));
}

TEST_F(ShellConf, ImportWithoutFrontEndFileLeavesAnEmptyFileReplacingAnyOld)
{
    dir.write(QStringLiteral("shell.conf"), "db_host = stale\r\n");
    EXPECT_EQ(import(), Outcome::Continue);
    EXPECT_TRUE(QFile::exists(shellConf()));
    EXPECT_EQ(dir.read(QStringLiteral("shell.conf")), QByteArray());
    EXPECT_EQ(mode(), 0600u);
}

TEST_F(ShellConf, LinesEndedByCrLfCrOrLfAreSeparateSettings)
{
    for (const QByteArray end : {"\r\n", "\r", "\n"}) {
        dir.write(QStringLiteral("dralfrontend.conf"), "db_host = h" + end + "db_name = pos" + end + "db_password = pw");
        ASSERT_EQ(import(), Outcome::Continue);
        EXPECT_EQ(dir.read(QStringLiteral("shell.conf")),
                  QByteArray("db_host = h\r\ndb_name = pos\r\ndb_password = pw\r\n"))
            << end.toHex().constData();

        dir.write(QStringLiteral("shell.conf"),
                  "db_host = h" + end + "esc_printer = TM" + end + "launcher = korvantis-launcher" + end + "stationid = 4");
        const LauncherSettings s = read();
        EXPECT_EQ(s.db_host, QStringLiteral("h")) << end.toHex().constData();
        EXPECT_EQ(s.esc_printer, QStringLiteral("TM")) << end.toHex().constData();
        EXPECT_EQ(s.stationid, QStringLiteral("4")) << end.toHex().constData();
    }
}

TEST_F(ShellConf, ImportThatCannotCreateTheFileTellsToRestartAndEnds)
{
    dir.write(QStringLiteral("dralfrontend.conf"), "db_host = h\r\n");
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("shell.conf")));
    prompter.expectMessage(
        QStringLiteral("You do not have sufficient rights to create a configuration file. "
                       "Please restart as Administrator."),
        kv::MsgButtons::OK, kv::MsgResult::OK, std::nullopt, kv::MsgIcon::Information, true);
    EXPECT_EQ(import(), Outcome::LauncherEnds);
    ASSERT_EQ(prompter.shownMessages().size(), 1);
    const QString title = prompter.shownMessages().first().title;
    EXPECT_TRUE(title.startsWith(QStringLiteral("Korvantis Launcher - "))) << title.toStdString();
    EXPECT_GT(title.size(), QStringLiteral("Korvantis Launcher - ").size()) << "the error's description is missing";
    // Nothing stray beside it: the temporary file is gone.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1);
}

// --- read -----------------------------------------------------------------

TEST_F(ShellConf, FirstReadCompletesTheFileButKeepsPrinterEmptyInTheRecord)
{
    dir.write(QStringLiteral("shell.conf"), "");
    const LauncherSettings s = read();
    EXPECT_EQ(s, LauncherSettings{});
    EXPECT_EQ(dir.read(QStringLiteral("shell.conf")),
              QByteArray("db_host = \r\n"
                         "db_name = \r\n"
                         "db_username = \r\n"
                         "db_password = \r\n"
                         "esc_printer = none\r\n"
                         "db_username_admin = \r\n"
                         "db_password_admin = \r\n"
                         "launcher = korvantis-launcher\r\n"));
    EXPECT_EQ(mode(), 0600u);
}

TEST_F(ShellConf, ReadKeepsLastOfRepeatedKeysAndSkipsForeignOnes)
{
    dir.write(QStringLiteral("shell.conf"),
              "db_host = one\r\n"
              "db_host = two\r"
              "Db_Name = wrong\r\n"
              "db_name = pos\r\n"
              "db_username = u\r\n"
              "db_password = p=q\r\n"
              "stationid = 12\r\n"
              "esc_printer = TM-T88\r\n"
              "db_username_admin = au\r\n"
              "db_password_admin = ap\r\n"
              "launcher = korvantis-launcher\r\n");
    const QByteArray before = dir.read(QStringLiteral("shell.conf"));
    const LauncherSettings s = read();
    EXPECT_EQ(s.db_host, QStringLiteral("two"));
    EXPECT_EQ(s.db_name, QStringLiteral("pos"));
    EXPECT_EQ(s.db_username, QStringLiteral("u"));
    EXPECT_EQ(s.db_password, QStringLiteral("p=q"));
    EXPECT_EQ(s.stationid, QStringLiteral("12"));
    EXPECT_EQ(s.esc_printer, QStringLiteral("TM-T88"));
    EXPECT_EQ(s.db_username_admin, QStringLiteral("au"));
    EXPECT_EQ(s.db_password_admin, QStringLiteral("ap"));
    // Printer set and launcher name matching: the file is not touched.
    EXPECT_EQ(dir.read(QStringLiteral("shell.conf")), before);
}

TEST_F(ShellConf, ChangedLauncherNameRewritesInFixedOrderDroppingComments)
{
    dir.write(QStringLiteral("shell.conf"),
              "# my notes\r\n"
              "launcher = old-name\r\n"
              "db_password_admin = ap\r\n"
              "esc_printer = Star\r\n"
              "stationid = 3\r\n"
              "db_password = pw\r\n"
              "extra = kept?\r\n"
              "db_host = srv\r\n"
              "db_host = srv2\r\n");
    // A file someone made readable for all is private again after the rewrite.
    ASSERT_TRUE(QFile::setPermissions(shellConf(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                       QFileDevice::ReadOther | QFileDevice::ReadGroup));
    const LauncherSettings s = read();
    EXPECT_EQ(s.esc_printer, QStringLiteral("Star"));
    EXPECT_EQ(dir.read(QStringLiteral("shell.conf")),
              QByteArray("db_host = srv2\r\n"
                         "db_name = \r\n"
                         "db_username = \r\n"
                         "db_password = pw\r\n"
                         "esc_printer = Star\r\n"
                         "stationid = 3\r\n"
                         "db_username_admin = \r\n"
                         "db_password_admin = ap\r\n"
                         "launcher = korvantis-launcher\r\n"));
    EXPECT_EQ(mode(), 0600u);
}

TEST_F(ShellConf, EmptyStationIdIsNotWrittenBack)
{
    dir.write(QStringLiteral("shell.conf"), "stationid = \r\nesc_printer = \r\n");
    const LauncherSettings s = read();
    EXPECT_EQ(s.stationid, QString());
    EXPECT_EQ(s.esc_printer, QString());
    EXPECT_FALSE(dir.read(QStringLiteral("shell.conf")).contains("stationid"));
}

TEST_F(ShellConf, OnlyARegularFileOfAtMostOneMebibyteIsRead)
{
    EXPECT_EQ(read(), LauncherSettings{});
    EXPECT_FALSE(QFile::exists(shellConf())) << "a missing file is not created by reading";

    const QByteArray settings = "db_host = h\r\nesc_printer = p\r\nlauncher = korvantis-launcher\r\n";
    const QByteArray atLimit = settings + QByteArray(1024 * 1024 - settings.size(), '#');
    dir.write(QStringLiteral("shell.conf"), atLimit);
    EXPECT_EQ(read().db_host, QStringLiteral("h"));

    const std::string path = shellConf().toStdString();
    const struct {
        const char *what;
        std::function<void()> make;
    } cases[] = {
        {"one byte over", [&] { dir.write(QStringLiteral("shell.conf"), atLimit + "#"); }},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
        {"a link to /dev/zero", [&] { ASSERT_EQ(::symlink("/dev/zero", path.c_str()), 0); }},
        {"a directory", [&] { ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("shell.conf"))); }},
    };
    const auto shape = [&] {
        struct stat st {};
        ::lstat(path.c_str(), &st);
        return std::pair(st.st_mode & S_IFMT, st.st_size);
    };
    for (const auto &c : cases) {
        std::filesystem::remove(path);
        c.make();
        const auto before = shape();
        testing::internal::CaptureStderr();
        auto reading = std::async(std::launch::async, [&] { return read(); });
        if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << c.what << ": the read hangs";
            // A writer that comes and goes lets a reader stuck on the FIFO go.
            ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));
        }
        const LauncherSettings s = reading.get();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(s, LauncherSettings{}) << c.what;
        EXPECT_NE(said.find(path), std::string::npos) << c.what << ": " << said;
        EXPECT_EQ(shape(), before) << c.what << ": what stands there is left alone";
    }
}

// A file carried over from a Windows till holds Windows-1252; a rewrite turns
// it into UTF-8 without losing a character.
TEST_F(ShellConf, FileThatIsNotUtf8IsReadAsWindows1252)
{
    const struct {
        QByteArray password;
        QString expected;
    } cases[] = {
        {"gr\xc3\xbc\xc3\x9f", QStringLiteral(u"grüß")},
        {"p\xe4ss\x80\x8e", QStringLiteral(u"päss€Ž")},
        // One byte that is not UTF-8 makes the whole file Windows-1252.
        {"\xc3\xa4 \xe4", QStringLiteral(u"Ã¤ ä")},
        {"\x81\x8d\x8f\x90\x9d", QStringLiteral(u"\u0081\u008d\u008f\u0090\u009d")},
    };
    for (const auto &c : cases) {
        dir.write(QStringLiteral("shell.conf"), "db_password = " + c.password + "\r\nlauncher = old-name\r\n");
        EXPECT_EQ(read().db_password, c.expected) << c.password.toHex().constData();
        EXPECT_TRUE(dir.read(QStringLiteral("shell.conf")).contains("db_password = " + c.expected.toUtf8() + "\r\n"));
        EXPECT_EQ(read().db_password, c.expected) << "after the rewrite: " << c.password.toHex().constData();
    }
}

TEST_F(ShellConf, StartRemovesTemporariesOfAKilledRewriteAndMakesItsFilePrivate)
{
    const QByteArray complete = "db_host = h\r\nesc_printer = p\r\nlauncher = korvantis-launcher\r\n";
    dir.write(QStringLiteral("shell.conf"), complete);
    const std::string path = shellConf().toStdString();
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    dir.write(QStringLiteral("shell.conf.a1B2c3"), "db_password = secret\r\n");
    dir.write(QStringLiteral("shell.conf.Zz9yY8"), "");
    // Not what a rewrite leaves behind: kept.
    for (const char *name : {"shell.conf.bak", "shell.conf.abc12", "shell.conf.abc-12", "other.conf.abcdef"})
        dir.write(QString::fromLatin1(name), "x");
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("shell.conf.dir123")));

    read();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name),
              QStringList({"other.conf.abcdef", "shell.conf", "shell.conf.abc-12", "shell.conf.abc12",
                           "shell.conf.bak", "shell.conf.dir123"}));
    EXPECT_EQ(mode(), 0600u);
    EXPECT_EQ(dir.read(QStringLiteral("shell.conf")), complete);

    // Only root can make a file someone else's; CI runs as root.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        read();
        EXPECT_EQ(mode(), 0644u) << "another user's file keeps its mode";
    }
}

} // namespace
