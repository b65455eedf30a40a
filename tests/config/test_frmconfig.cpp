// shell.conf: imported from the front-end's file, read, rewritten when
// incomplete, exact bytes; and the settings dialog's window against the test
// cluster and the private print server.
#include "config/gui/frmConfig.h"
#include "station/odbc.h"
#include "station/vbConfig.h"
#include "shared/conffile.h"
#include "clustersettings.h"
#include "platform/posix/cupsspooler.h"
#include "qtapp.h"
#include "scriptedprompter.h"
#include "tempdir.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPushButton>

#include <cups/cups.h>

#include <chrono>
#include <memory>

#include <sys/stat.h>

using kv::MsgIcon;
using kv::MsgResult;
using T = kv::FrmConfigView::Text;

// Readable failures: texts and file contents print as text.
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
                                "db_username = ü\r\ndb_password = p=q\r\nstationid = 12\r\nesc_printer = TM-T88\r\n"
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
        {"complete", complete, {"two", "pos", "ü", "p=q", "12", "TM-T88", "au", "ap"}, complete},
        {"size bound", atBound, {"two", "pos", "ü", "p=q", "12", "TM-T88", "au", "ap"}, atBound},
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

const QString kNoRights = QStringLiteral("You do not have sufficient rights to modify these settings.");
const QString kBadId = QStringLiteral("The station id provided is invalid. The station id needs to be a number.");
const QString kIdOutOfRange =
    QStringLiteral("The station id provided is invalid. The station id needs to be a number from 1 to 32767.");

// The dialog writes the same shell.conf.
class FormTest : public ShellConf {
protected:
    void SetUp() override
    {
        testsupport::qtApp<QApplication>();
        testenv::psql("DELETE FROM config; INSERT INTO config (schemaversion) VALUES (95)");
        m_conf = testsupport::clusterSettings();
        m_conf.stationid = QStringLiteral("3");
    }

    // A loaded window whose database settings are the cluster's.
    void load()
    {
        kv::SettingsDialog::Hooks hooks;
        hooks.runMain = [this] { ++m_mainRuns; };
        hooks.logEvent = [this](const QString &event) { m_events.append(event); };
        m_form = std::make_unique<kv::frmConfig>(kv::frmConfig::Owner{}, m_conf, [] { return std::nullopt; },
                                                 m_spooler, m_channel, prompter, ctx, hooks);
        m_form->load();
        m_form->show();
    }
    template <typename W = QPushButton>
    W *child(const char *name) const
    {
        return m_form->findChild<W *>(QLatin1String(name));
    }
    void click(const char *button) const { child(button)->click(); }
    void expectTold(const QString &text, MsgIcon icon)
    {
        prompter.expectMessage(text, kv::MsgButtons::OK, MsgResult::OK, QStringLiteral("Korvantis Launcher"), icon,
                               true);
    }
    QByteArray linesFor(const QString &station, const QString &printer = QStringLiteral("none")) const
    {
        return QStringLiteral("db_host = %1\r\ndb_name = %2\r\ndb_username = %3\r\ndb_password = %4\r\n"
                              "esc_printer = %5\r\n%6launcher = korvantis-launcher\r\n")
            .arg(m_conf.db_host, m_conf.db_name, m_conf.db_username, m_conf.db_password, printer,
                 station.isEmpty() ? QString() : QStringLiteral("stationid = %1\r\n").arg(station))
            .toUtf8();
    }

    kv::LauncherSettings m_conf;
    kv::platform::CupsSpooler m_spooler;
    kv::EscposChannel m_channel{m_spooler};
    testprinter::TestPrinter m_printer{testprinter::otherQueue()};
    int m_mainRuns = 0;
    QStringList m_events;
    std::unique_ptr<kv::frmConfig> m_form;
};

} // namespace

TEST_F(FormTest, LoadSelectsTheConfiguredPrinterAndOkSavesWhatTheBoxesHold)
{
    // The print server lists its queues by name; the first is not the default.
    const QString first = QString::fromStdString(m_spooler.printers().front()), other = m_printer.name();
    const struct {
        QString configured, selected; bool on;
    } cases[] = {{"", first, false}, {"none", first, false}, {"KV_Gone", first, true}, {other, other, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.configured.toStdString());
        m_conf.esc_printer = c.configured;
        load();
        EXPECT_EQ(m_form->selectedPrinter(), c.selected);
        EXPECT_TRUE(m_form->escPosChecked() == c.on && child("cmdTestPrint")->isEnabled() == c.on &&
                    child<QCheckBox>("chkEscPos")->isEnabled());
    }
    // Each setting from its own box; the administrative keys kept, after the launcher line.
    dir.write(QStringLiteral("shell.conf"), "db_username_admin = u1\r\n# db_password_admin = c\r\n"
                                            "db_password_admin = p=1\r\ndb_username_admin = u2\r\nstationid = 9\r\n");
    click("cmdOK");
    EXPECT_EQ(conf(), linesFor("3", other) + "db_password_admin = p=1\r\ndb_username_admin = u2\r\n");
    // Both tests reach the printer: the receipt ending with its cut (GS V 66
    // 0), then the drawer pulse on both pins.
    const auto mark = m_printer.mark();
    click("cmdTestPrint");
    click("cmdTestDrawer");
    EXPECT_TRUE(m_printer.bytesSince(mark, 2).endsWith(
        QByteArray("\x1d\x56\x42\x00\x1b\x63\x30\x02\x1b\x70\x00\x19\xfa\x1b\x70\x01\x19\xfa", 18)));
}

TEST_F(FormTest, AnOldDatabaseAFrozenOrAnEmptyServerShowTheirStatusAndOkRefusesToSave)
{
    testenv::psql("UPDATE config SET schemaversion = 80");
    load();
    EXPECT_EQ(m_form->text(T::Status), "Old database");
    expectTold(QStringLiteral("The current database connection settings are incorrect."), MsgIcon::Critical);
    click("cmdOK");
    EXPECT_FALSE(QFile::exists(dir.file("shell.conf")));
    EXPECT_TRUE(m_form->isVisible() && m_mainRuns == 0);
    {
        // A frozen postmaster accepts and never answers: only the login timeout
        // ends the wait. It runs on whatever the outcome.
        testenv::Frozen frozen(testenv::postmasterPid());
        const auto t0 = std::chrono::steady_clock::now();
        click("cmdTestConn");
        EXPECT_EQ(m_form->text(T::Status), "No connection");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(kv::odbc::kLoginTimeoutSeconds + 2));
    }
    EXPECT_FALSE(prompter.busy()) << "the cursor came back after every test";
    // On a till that runs its own server, the local socket would let the
    // desktop user in: an empty server field must still reach nothing.
    const QByteArray before = qgetenv("PGHOST");
    qputenv("PGHOST", QByteArray::fromStdString(testenv::require("KV_PG_SOCKDIR")));
    const std::shared_ptr<void> restore(nullptr, [&](void *) {
        before.isNull() ? qunsetenv("PGHOST") : qputenv("PGHOST", before);
    });
    m_form->setText(T::Server, QString());
    click("cmdTestConn");
    EXPECT_EQ(m_form->text(T::Status), "No connection");
}

// Test Print and Test Drawer log why nothing went to the printer: its queue
// stopped taking jobs (cupsreject) between the open and the job, or it was
// removed after the dialog listed it, which the person is told.
TEST_F(FormTest, TheTestButtonsSayWhyNothingWentToThePrinter)
{
    const std::string queue = "printers/" + m_printer.queue();
    const std::shared_ptr<void> accept(nullptr, [&](void *) { testprinter::ipp(IPP_OP_CUPS_ACCEPT_JOBS, queue); });
    m_conf.esc_printer = m_printer.name();
    load();
    for (const QString &printer : {m_printer.name(), QStringLiteral("KV_Gone")}) {
        const bool removed = printer != m_printer.name();
        if (removed) // listed when the dialog opened, removed since
            m_form->addPrinter(printer);
        child<QComboBox>("cmbPrinter")->setCurrentText(printer);
        if (!removed)
            m_spooler.setRequestHook([&](const char *) { testprinter::ipp(IPP_OP_CUPS_REJECT_JOBS, queue); });
        m_events.clear();
        if (removed)
            expectTold(QStringLiteral("Could not connect to the printer."), MsgIcon::Critical);
        click("cmdTestPrint");
        testprinter::ipp(IPP_OP_CUPS_ACCEPT_JOBS, queue);
        if (removed)
            expectTold(QStringLiteral("Could not connect to the printer to open the drawer."), MsgIcon::Critical);
        click("cmdTestDrawer");
        m_spooler.setRequestHook({});
        prompter.verifyDone();
        // What the log's lines begin with.
        const QString why = removed ? QStringLiteral("%1 not sent: the printer \"%2\" could not be opened")
                                    : QStringLiteral("%1 to the printer \"%2\" not ");
        ASSERT_EQ(m_events.size(), 2) << m_events.join('\n').toStdString();
        EXPECT_TRUE(m_events[0].startsWith(why.arg("test print", printer))) << m_events[0].toStdString();
        EXPECT_TRUE(m_events[1].startsWith(why.arg("test drawer pulse", printer))) << m_events[1].toStdString();
    }
}

// A refused id, or a file that cannot be written, leaves the file as it was
// and the dialog open.
TEST_F(FormTest, OkSavesTheStationIdInPlainDecimalFormOrRefusesIt)
{
    // Under LC_ALL=C.UTF-8 (set for this test): "." is the decimal point, "," groups.
    const struct {
        const char *typed;
        const char *saved; // nullptr: refused with the message
        const QString *message = nullptr;
    } cases[] = {
        {" 007 ", "7"}, {"2.5", "2"}, {"3.5", "4"}, {"1,000", "1000"}, {"", ""}, {"32767.4", "32767"},
        {"32767.5", nullptr, &kIdOutOfRange}, {"0.5", nullptr, &kIdOutOfRange}, {"-5", nullptr, &kIdOutOfRange},
        {"inf", nullptr, &kBadId}, {"2,5", nullptr, &kBadId},
    };
    load();
    const QByteArray before = "db_host = old\r\n";
    for (const auto &c : cases) {
        dir.write(QStringLiteral("shell.conf"), before);
        m_form->show();
        m_mainRuns = 0;
        m_form->setText(T::StationID, QString::fromUtf8(c.typed));
        if (c.message)
            expectTold(*c.message, MsgIcon::Critical);
        click("cmdOK");
        prompter.verifyDone();
        EXPECT_EQ(conf(), c.saved ? linesFor(QString::fromUtf8(c.saved)) : before) << c.typed;
        EXPECT_EQ(m_form->text(T::StationID), c.saved ? c.saved : c.typed) << c.typed;
        EXPECT_EQ(m_form->isHidden() + m_mainRuns, c.saved ? 2 : 0) << c.typed;
    }
    QFile::remove(dir.file("shell.conf"));
    ASSERT_TRUE(QDir(dir.path()).mkdir("shell.conf"));
    m_form->show();
    m_form->setText(T::StationID, QStringLiteral("5"));
    expectTold(kNoRights, MsgIcon::Information);
    click("cmdOK");
    EXPECT_TRUE(m_form->isVisible() && m_mainRuns == 0);
    EXPECT_TRUE(QDir(dir.file("shell.conf")).isEmpty()) << "nothing left beside the directory";
}
