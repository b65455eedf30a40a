// shell.conf: imported from the front-end's file, read, rewritten when
// incomplete, exact bytes; and text as the printer gets it.
#include "config/vbConfig.h"
#include "core/textconv.h"
#include "shared/conffile.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QFile>

#include <sys/stat.h>

void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace {

class ShellConf : public ::testing::Test {
protected:
    testsupport::TempAppDir dir;
    kv::AppContext ctx{dir.path(), QStringLiteral("korvantis-launcher")};
    testsupport::ScriptedPrompter prompter;
    const std::string path = dir.file(QStringLiteral("shell.conf")).toStdString();

    kv::Outcome import() { return kv::config::importFrontEndConfig(QString::fromStdString(path), ctx, prompter); }
    kv::LauncherSettings read() { return kv::config::readShellConfig(QString::fromStdString(path), ctx); }
    QByteArray conf() const { return dir.read(QStringLiteral("shell.conf")); }
};

// Only the database keys, in file order, repeats included, with the till's
// line ends; dralfrontend.conf before korvantis.conf; without either an empty file.
TEST_F(ShellConf, ImportCopiesTheDatabaseKeysOfTheFirstFrontEndFileFound)
{
    dir.write(QStringLiteral("dralfrontend.conf"),
              "db_name = pos\r\nstationid = 7\r\n  # db_host = commented\r\ndb_host =  first  \r\n"
              "esc_printer = TM88\r\ndb_password = a=b=c\r\nDB_USERNAME = capitals\r\n\tdb_username = tabbed\r\n"
              "db_username: colon\r\ndb_host = second\r\ndb_username =  till \r\n"
              "db_username_admin = admin\r\ndb_password_admin = secret\r\nlauncher = other\r\n");
    dir.write(QStringLiteral("korvantis.conf"), "db_host = from-korvantis\n");
    EXPECT_EQ(import(), kv::Outcome::Continue);
    EXPECT_EQ(conf(), QByteArray("db_name = pos\r\ndb_host = first\r\ndb_password = a=b=c\r\ndb_host = second\r\n"
                                 "db_username = till\r\ndb_username_admin = admin\r\ndb_password_admin = secret\r\n"));
    QFile::remove(dir.file(QStringLiteral("dralfrontend.conf")));
    import();
    EXPECT_EQ(conf(), QByteArray("db_host = from-korvantis\r\n"));
    QFile::remove(dir.file(QStringLiteral("korvantis.conf")));
    import();
    EXPECT_TRUE(QFile::exists(QString::fromStdString(path)) && conf().isEmpty());
}

// The last of repeated keys counts. A file lacking a printer line or under
// another launcher name is rewritten whole, in a fixed order, private again.
TEST_F(ShellConf, ReadKeepsTheLastOfRepeatedKeysAndRewritesOnlyWhenIncomplete)
{
    const QByteArray complete = "db_host = one\r\ndb_host = two\rDb_Name = wrong\r\ndb_name = pos\r\n"
                                "db_username = u\r\ndb_password = p=q\r\nstationid = 12\r\nesc_printer = TM-T88\r\n"
                                "db_username_admin = au\r\ndb_password_admin = ap\r\nlauncher = korvantis-launcher\r\n";
    const QByteArray notepad = "db_host = srv\r\ndb_name = pos\r\ndb_username = grüß\r\ndb_password = \r\n"
                               "esc_printer = none\r\nstationid = 4\r\ndb_username_admin = \r\ndb_password_admin = \r\n"
                               "launcher = korvantis-launcher\r\n";
    const QString notepadText = QString::fromUtf8("db_host = srv\r\ndb_name = pos\r\ndb_username = grüß\r\nstationid = 4\r\n");
    const QByteArray utf16 = QByteArray("\xFF\xFE", 2) +
                             QByteArray(reinterpret_cast<const char *>(notepadText.utf16()), notepadText.size() * 2);
    // A comment line fills the file to exactly the size that is still read.
    const QByteArray atBound = '#' + QByteArray(int(conffile::kMaxBytes) - complete.size() - 3, '-') + "\r\n" +
                               complete;
    const struct {
        const char *what;
        QByteArray before;
        QStringList record; // host, name, user, password, station, printer, admin user, admin password
        QByteArray after;
    } cases[] = {
        {"complete", complete, {"two", "pos", "u", "p=q", "12", "TM-T88", "au", "ap"}, complete},
        {"size bound", atBound, {"two", "pos", "u", "p=q", "12", "TM-T88", "au", "ap"}, atBound},
        // The record keeps the printer empty; an empty station id is left out.
        {"empty station id", "stationid = \r\n", {"", "", "", "", "", "", "", ""},
         "db_host = \r\ndb_name = \r\ndb_username = \r\ndb_password = \r\nesc_printer = none\r\n"
         "db_username_admin = \r\ndb_password_admin = \r\nlauncher = korvantis-launcher\r\n"},
        {"another launcher",
         "# my notes\r\nlauncher = old-name\r\ndb_password_admin = ap\r\nesc_printer = Star\r\nstationid = 3\r\n"
         "db_password = pw\r\nextra = kept?\r\ndb_host = srv\r\n",
         {"srv", "", "", "pw", "3", "Star", "", "ap"},
         "db_host = srv\r\ndb_name = \r\ndb_username = \r\ndb_password = pw\r\nesc_printer = Star\r\n"
         "stationid = 3\r\ndb_username_admin = \r\ndb_password_admin = ap\r\nlauncher = korvantis-launcher\r\n"},
        // Saved by Notepad: UTF-8 after a byte-order mark.
        {"byte-order mark", "\xEF\xBB\xBF" "db_host = srv\r\ndb_name = pos\r\ndb_username = grüß\r\nstationid = 4\r\n",
         {"srv", "pos", "grüß", "", "4", "", "", ""}, notepad},
        // Notepad's "Unicode": UTF-16, little-endian after its mark.
        {"utf-16", utf16, {"srv", "pos", "grüß", "", "4", "", "", ""}, notepad},
        // Carried over from a Windows till: one byte that is not UTF-8 makes
        // the whole file Windows-1252, rewritten as UTF-8.
        {"windows-1252", "db_password = \xc3\xa4 p\xe4ss\x80\x8e\nlauncher = old\n",
         {"", "", "", "Ã¤ päss€Ž", "", "", "", ""},
         "db_host = \r\ndb_name = \r\ndb_username = \r\ndb_password = Ã¤ päss€Ž\r\nesc_printer = none\r\n"
         "db_username_admin = \r\ndb_password_admin = \r\nlauncher = korvantis-launcher\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        dir.write(QStringLiteral("shell.conf"), c.before);
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        const kv::LauncherSettings s = read();
        EXPECT_EQ(QStringList({s.db_host, s.db_name, s.db_username, s.db_password, s.stationid, s.esc_printer,
                               s.db_username_admin, s.db_password_admin}),
                  c.record);
        EXPECT_EQ(conf(), c.after);
        struct stat st {};
        EXPECT_TRUE(::stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) == 0600) << "private again";
    }
}

// One byte per character on the printer: Windows-1252 where it has one, else
// "?", once even for a character outside the basic plane.
TEST(PrinterText, CharactersWithoutAByteBecomeOneQuestionMark)
{
    EXPECT_EQ(kv::text::toPrinterBytes(QString::fromUtf8("é€漢a😀b")), QByteArray("\xe9\x80?a?b"));
}

} // namespace
