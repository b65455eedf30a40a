// shell.conf: import from the front-end's file, read, rewrite, exact bytes.
#include "config/vbConfig.h"
#include "recordingsinks.h"

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

void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

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
    LauncherSettings read() { return readShellConfig(shellConf(), ctx, &events); }
    testsupport::RecordingEventLog events;
    QByteArray conf() const { return dir.read(QStringLiteral("shell.conf")); }

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
              "db_name = pos\r\nstationid = 7\r\n  # db_host = commented\r\ndb_host =  first  \r\n"
              "esc_printer = TM88\r\ndb_password = a=b=c\r\nDB_USERNAME = capitals\r\n\tdb_username = tabbed\r\n"
              "db_username: colon\r\ndb_host = second\r\ndb_username =  till \r\n"
              "db_username_admin = admin\r\ndb_password_admin = secret\r\nlauncher = other\r\n");
    EXPECT_EQ(import(), Outcome::Continue);
    EXPECT_EQ(conf(), QByteArray("db_name = pos\r\ndb_host = first\r\ndb_password = a=b=c\r\ndb_host = second\r\n"
                                 "db_username = till\r\ndb_username_admin = admin\r\ndb_password_admin = secret\r\n"));
    EXPECT_EQ(mode(), 0600u);
}

TEST_F(ShellConf, ImportTakesDralfrontendElseKorvantisElseLeavesAnEmptyFile)
{
    dir.write(QStringLiteral("shell.conf"), "db_host = stale\r\n");
    EXPECT_EQ(import(), Outcome::Continue);
    EXPECT_TRUE(QFile::exists(shellConf()));
    EXPECT_EQ(conf(), QByteArray());
    EXPECT_EQ(mode(), 0600u);

    dir.write(QStringLiteral("korvantis.conf"), "db_host = from-korvantis\r\n");
    import();
    EXPECT_EQ(conf(), QByteArray("db_host = from-korvantis\r\n"));
    dir.write(QStringLiteral("dralfrontend.conf"), "db_host = from-dral\r");
    import();
    EXPECT_EQ(conf(), QByteArray("db_host = from-dral\r\n"));
}

TEST_F(ShellConf, LinesEndedByCrLfCrOrLfAreSeparateSettings)
{
    for (const QByteArray end : {"\r\n", "\r", "\n"}) {
        dir.write(QStringLiteral("dralfrontend.conf"), "db_host = h" + end + "db_name = pos" + end + "db_password = pw");
        ASSERT_EQ(import(), Outcome::Continue);
        EXPECT_EQ(conf(), QByteArray("db_host = h\r\ndb_name = pos\r\ndb_password = pw\r\n")) << end.toHex().data();

        dir.write(QStringLiteral("shell.conf"),
                  "db_host = h" + end + "esc_printer = TM" + end + "launcher = korvantis-launcher" + end + "stationid = 4");
        const LauncherSettings s = read();
        EXPECT_EQ(QStringList({s.db_host, s.esc_printer, s.stationid}), QStringList({"h", "TM", "4"}))
            << end.toHex().data();
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
    const QString title = prompter.shownMessages().first().title, prefix = QStringLiteral("Korvantis Launcher - ");
    EXPECT_TRUE(title.startsWith(prefix) && title.size() > prefix.size()) << "with the error: " << title.toStdString();
    // Nothing stray beside it: the temporary file is gone.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1);
}

// --- read -----------------------------------------------------------------

QByteArray utf16le(std::u16string_view text)
{
    QByteArray out;
    for (const char16_t u : text)
        out.append(char(u & 0xFF)).append(char(u >> 8));
    return out;
}

const QByteArray kNotepadRewrite =
    "db_host = srv\r\ndb_name = pos\r\ndb_username = u\r\ndb_password = \r\nesc_printer = none\r\nstationid = 4\r\n"
    "db_username_admin = \r\ndb_password_admin = \r\nlauncher = korvantis-launcher\r\n";

// The last of repeated keys counts. A file lacking a printer line or under another
// launcher name is rewritten whole, in a fixed order, without an empty station id.
TEST_F(ShellConf, ReadKeepsTheLastOfRepeatedKeysAndRewritesOnlyWhenIncomplete)
{
    const QByteArray complete = "db_host = one\r\ndb_host = two\rDb_Name = wrong\r\ndb_name = pos\r\n"
                                "db_username = u\r\ndb_password = p=q\r\nstationid = 12\r\nesc_printer = TM-T88\r\n"
                                "db_username_admin = au\r\ndb_password_admin = ap\r\nlauncher = korvantis-launcher\r\n";
    const struct {
        const char *what;
        QByteArray before;
        QStringList record; // host, name, user, password, station, printer, admin user, admin password
        QByteArray after;
    } cases[] = {
        {"complete", complete, {"two", "pos", "u", "p=q", "12", "TM-T88", "au", "ap"}, complete},
        {"empty", "", {"", "", "", "", "", "", "", ""}, // the record keeps the printer empty
         "db_host = \r\ndb_name = \r\ndb_username = \r\ndb_password = \r\nesc_printer = none\r\n"
         "db_username_admin = \r\ndb_password_admin = \r\nlauncher = korvantis-launcher\r\n"},
        {"another launcher",
         "# my notes\r\nlauncher = old-name\r\ndb_password_admin = ap\r\nesc_printer = Star\r\nstationid = 3\r\n"
         "db_password = pw\r\nextra = kept?\r\ndb_host = srv\r\ndb_host = srv2\r\n",
         {"srv2", "", "", "pw", "3", "Star", "", "ap"},
         "db_host = srv2\r\ndb_name = \r\ndb_username = \r\ndb_password = pw\r\nesc_printer = Star\r\n"
         "stationid = 3\r\ndb_username_admin = \r\ndb_password_admin = ap\r\nlauncher = korvantis-launcher\r\n"},
        // Saved by Notepad, which starts the file with a byte-order mark.
        {"byte-order mark", "\xEF\xBB\xBF" "db_host = srv\r\ndb_name = pos\r\ndb_username = u\r\nstationid = 4\r\n",
         {"srv", "pos", "u", "", "4", "", "", ""}, kNotepadRewrite},
        // Notepad's "Unicode": UTF-16, little-endian.
        {"UTF-16", utf16le(u"\uFEFFdb_host = srv\r\ndb_name = pos\r\ndb_username = u\r\nstationid = 4\r\n"),
         {"srv", "pos", "u", "", "4", "", "", ""}, kNotepadRewrite},
        {"empty station id", "stationid = \r\nesc_printer = \r\n", {"", "", "", "", "", "", "", ""},
         "db_host = \r\ndb_name = \r\ndb_username = \r\ndb_password = \r\nesc_printer = none\r\n"
         "db_username_admin = \r\ndb_password_admin = \r\nlauncher = korvantis-launcher\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        dir.write(QStringLiteral("shell.conf"), c.before);
        // A file someone made readable for all is private again.
        ASSERT_EQ(::chmod(shellConf().toLocal8Bit().constData(), 0644), 0);
        const LauncherSettings s = read();
        EXPECT_EQ(QStringList({s.db_host, s.db_name, s.db_username, s.db_password, s.stationid, s.esc_printer,
                               s.db_username_admin, s.db_password_admin}),
                  c.record);
        EXPECT_EQ(conf(), c.after);
        EXPECT_EQ(mode(), 0600u);
    }
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
        events.lines.clear();
        auto reading = std::async(std::launch::async, [&] { return read(); });
        if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << c.what << ": the read hangs";
            // A writer that comes and goes lets a reader stuck on the FIFO go.
            ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));
        }
        const LauncherSettings s = reading.get();
        const std::string said = events.lines.join('\n').toStdString();
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
        EXPECT_TRUE(conf().contains("db_password = " + c.expected.toUtf8() + "\r\n"));
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
    EXPECT_EQ(conf(), complete);

    // Only root can make a file someone else's; CI runs as root.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        read();
        EXPECT_EQ(mode(), 0644u) << "another user's file keeps its mode";
    }
}

} // namespace
