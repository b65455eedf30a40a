// The settings dialog's rules without widgets, against the test cluster and
// the private print server's test printer.
#include "config/frmConfigLogic.h"
#include "config/odbc.h"
#include "dbtestutil.h"
#include "platform/fakes/recordingspooler.h"
#include "platform/posix/cupsspooler.h"
#include "scriptedprompter.h"
#include "tempdir.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <QDir>

#include <map>

#include <sys/stat.h>

using kv::FrmConfigLogic;
using kv::FrmConfigView;
using kv::MsgButtons;
using kv::MsgIcon;
using kv::MsgResult;
using kv::ProgramFacts;
using T = kv::FrmConfigView::Text;
using testsupport::ScriptedPrompter;

// Readable failures: texts and file contents print as text.
void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
void PrintTo(const QByteArray &b, std::ostream *os) { *os << '"' << b.toStdString() << '"'; }

namespace {

const QString kTitle = QStringLiteral("Korvantis Launcher");
const QString kNoRights = QStringLiteral("You do not have sufficient rights to modify these settings.");
const QString kBadId = QStringLiteral("The station id provided is invalid. The station id needs to be a number.");
const QString kIdOutOfRange =
    QStringLiteral("The station id provided is invalid. The station id needs to be a number from 1 to 32767.");
const QString kBadSettings = QStringLiteral("The current database connection settings are incorrect.");
const QString kOpos = QStringLiteral("EscPos and OPos cannot both be enabled at the same time. Disable one of these "
                                     "before using the Korvantis POS system.");

struct FakeView : FrmConfigView {
    std::map<Text, QString> texts;
    bool checked = false, escPosEnabled = true, groupEnabled = true;
    QStringList printers;
    int selected = -1;
    int hidden = 0, unloaded = 0;

    QString text(Text box) const override { return texts.count(box) ? texts.at(box) : QString(); }
    void setText(Text box, const QString &t) override { texts[box] = t; }
    bool escPosChecked() const override { return checked; }
    void setEscPosChecked(bool c) override { checked = c; }
    void setEscPosEnabled(bool e) override { escPosEnabled = e; }
    void setPrinterGroupEnabled(bool e) override { groupEnabled = e; }
    void clearPrinters() override { printers.clear(); selected = -1; }
    void addPrinter(const QString &name) override { printers.append(name); }
    void selectPrinter(int index) override { selected = index; }
    QString selectedPrinter() const override { return selected >= 0 ? printers.at(selected) : QString(); }
    void hideForm() override { ++hidden; }
    void unloadForm() override { ++unloaded; }
};

class FormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testenv::psql("DELETE FROM config; INSERT INTO config (schemaversion) VALUES (95)");
        m_conf = dbtest::clusterSettings();
        m_conf.stationid = QStringLiteral("3");
        m_ctx.appDir = m_dir.path();
        m_ctx.launcherName = QStringLiteral("korvantis-launcher");
        m_spooler.setPrinters({"KV_A", "KV_B", "KV_C"}, "KV_A");
    }

    // A loaded form whose database settings are the cluster's.
    void load(kv::platform::Spooler *spooler = nullptr)
    {
        spooler = spooler ? spooler : &m_spooler;
        m_channel = std::make_unique<kv::EscposChannel>(*spooler);
        kv::SettingsDialog::Hooks hooks;
        hooks.runMain = [this] { ++m_mainRuns; };
        hooks.launcherRunning = [] { return false; };
        hooks.logEvent = [this](const QString &event) { m_logged << event; };
        m_logic = std::make_unique<FrmConfigLogic>(
            m_view, m_conf, [this] { return m_programs; }, *spooler, *m_channel, m_prompter, m_ctx, hooks);
        m_logic->formLoad();
    }
    QByteArray conf() const { return m_dir.read(QStringLiteral("shell.conf")); }
    void expectTold(const QString &text, MsgIcon icon)
    {
        m_prompter.expectMessage(text, MsgButtons::OK, MsgResult::OK, kTitle, icon, true);
    }
    QByteArray linesFor(const QString &stationLine, const QByteArray &printer = "none") const
    {
        QByteArray out = "db_host = " + m_conf.db_host.toUtf8() + "\r\ndb_name = " + m_conf.db_name.toUtf8() +
                         "\r\ndb_username = " + m_conf.db_username.toUtf8() + "\r\ndb_password = " +
                         m_conf.db_password.toUtf8() + "\r\nesc_printer = " + printer + "\r\n";
        if (!stationLine.isEmpty())
            out += "stationid = " + stationLine.toUtf8() + "\r\n";
        return out + "launcher = korvantis-launcher\r\n";
    }

    testsupport::TempAppDir m_dir;
    kv::AppContext m_ctx;
    kv::LauncherSettings m_conf;
    kv::platform::RecordingSpooler m_spooler;
    std::unique_ptr<kv::EscposChannel> m_channel;
    ScriptedPrompter m_prompter;
    FakeView m_view;
    std::optional<std::vector<ProgramFacts>> m_programs;
    QStringList m_logged;
    int m_mainRuns = 0;
    std::unique_ptr<FrmConfigLogic> m_logic;
};

} // namespace

TEST_F(FormTest, LoadFillsTheBoxesSelectsTheConfiguredPrinterAndTestsTheConnection)
{
    const struct {
        const char *configured, *selected;
        bool on;
    } cases[] = {{"KV_B", "KV_B", true}, {"", "KV_A", false}, {"none", "KV_A", false}, {"KV_Gone", "KV_A", true}};
    for (const auto &c : cases) {
        m_conf.esc_printer = QString::fromUtf8(c.configured);
        load();
        EXPECT_EQ(m_view.selectedPrinter(), c.selected) << c.configured;
        EXPECT_TRUE(m_view.checked == c.on && m_view.groupEnabled == c.on && m_view.escPosEnabled) << c.configured;
    }
    m_conf.esc_printer = QStringLiteral("KV_B");
    load();
    EXPECT_EQ(m_view.printers, QStringList({"KV_A", "KV_B", "KV_C"}));
    // OK saves what the boxes hold: every setting went into its own box.
    m_logic->cmdOkClick();
    EXPECT_EQ(conf(), linesFor("3", "KV_B"));
}

TEST_F(FormTest, EachFailureShowsItsStatusWithinTheLoginTimeout)
{
    load();
    const struct {
        T box;
        const char *typed, *status;
    } cases[] = {{T::Password, "wrong", "Bad user/pass"}, {T::Database, "no_such_db", "Connection error"}};
    for (const auto &c : cases) {
        m_view.texts[c.box] = QString::fromUtf8(c.typed);
        m_logic->cmdTestConnClick();
        EXPECT_EQ(m_view.texts[T::Status], c.status) << c.typed;
        EXPECT_FALSE(m_logic->connectionOk()) << c.typed;
        load(); // the good settings again
    }
    {
        // A frozen postmaster accepts and never answers: only the login timeout ends the wait.
        dbtest::StoppedProcess frozen(testenv::postmasterPid());
        const auto t0 = std::chrono::steady_clock::now();
        m_logic->cmdTestConnClick();
        EXPECT_EQ(m_view.texts[T::Status], "No connection");
        EXPECT_LT(dbtest::secondsSince(t0), kv::odbc::kLoginTimeoutSeconds + 2.0);
        EXPECT_FALSE(m_logic->connectionOk());
    }
    EXPECT_FALSE(m_prompter.busy()) << "the cursor came back after every test";
}

TEST_F(FormTest, OldDatabaseIsShownAndOkRefusesToSave)
{
    testenv::psql("UPDATE config SET schemaversion = 80");
    load();
    EXPECT_EQ(m_view.texts[T::Status], "Old database");
    expectTold(kBadSettings, MsgIcon::Critical);
    m_logic->cmdOkClick();
    EXPECT_FALSE(QFile::exists(m_dir.file("shell.conf")));
    EXPECT_EQ(m_view.hidden + m_view.unloaded + m_mainRuns, 0);
}

TEST_F(FormTest, OkSavesTheStationIdInPlainDecimalForm)
{
    // Under LC_ALL=C.UTF-8 (set for this test): "." is the decimal point, "," groups.
    const struct {
        const char *typed;
        const char *saved; // nullptr: refused with the message
        const QString *message = nullptr;
    } cases[] = {
        {"007", "7"}, {"  007 ", "7"}, {"2.5", "2"}, {"3.5", "4"}, {"1,000", "1000"}, {"", ""},
        {"32767.4", "32767"}, {"32767.5", nullptr, &kIdOutOfRange}, {"0.5", nullptr, &kIdOutOfRange},
        {"-5", nullptr, &kIdOutOfRange}, {"99999999999", nullptr, &kIdOutOfRange}, {"inf", nullptr, &kBadId},
        {"2,5", nullptr, &kBadId},
    };
    load();
    const QByteArray before = "db_host = old\r\n";
    for (const auto &c : cases) {
        m_dir.write(QStringLiteral("shell.conf"), before);
        m_view.hidden = m_mainRuns = 0;
        m_view.texts[T::StationID] = QString::fromUtf8(c.typed);
        if (c.message)
            expectTold(*c.message, MsgIcon::Critical);
        m_logic->cmdOkClick();
        m_prompter.verifyDone();
        EXPECT_EQ(conf(), c.saved ? linesFor(QString::fromUtf8(c.saved)) : before) << c.typed;
        EXPECT_EQ(m_view.texts[T::StationID], c.saved ? c.saved : c.typed) << c.typed;
        EXPECT_EQ(m_view.hidden + m_mainRuns, c.saved ? 2 : 0) << c.typed;
    }
}

TEST(StationIdText, NumbersFollowTheLocale)
{
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_EQ(kv::config::parseStationId("2,5", german), 2.5);
    EXPECT_EQ(kv::config::parseStationId("1.000,5", german), 1000.5);
}

TEST_F(FormTest, AdministrativeKeysFollowTheLauncherLinePasswordFirst)
{
    const struct {
        QByteArray old, tail;
    } cases[] = {
        {"db_username_admin = u1\r\n# db_password_admin = c\r\ndb_password_admin = p=1\r\n"
         "db_username_admin = u2\r\nDB_PASSWORD_ADMIN = caps\r\nstationid = 9\r\n",
         "db_password_admin = p=1\r\ndb_username_admin = u2\r\n"},
        {"db_host = x\r\ndb_username_admin = \r\n", ""},
    };
    load();
    for (const auto &c : cases) {
        m_dir.write(QStringLiteral("shell.conf"), c.old);
        m_logic->cmdOkClick();
        EXPECT_EQ(conf(), linesFor("3") + c.tail) << c.old.constData();
        struct stat st{};
        ASSERT_EQ(::stat(QFile::encodeName(m_dir.file("shell.conf")).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds the database password";
    }
}

TEST_F(FormTest, ASaveThatCannotBeWrittenKeepsTheDialogOpen)
{
    load();
    ASSERT_TRUE(QDir(m_dir.path()).mkdir("shell.conf"));
    expectTold(kNoRights, MsgIcon::Information);
    m_logic->cmdOkClick();
    EXPECT_EQ(m_view.hidden + m_view.unloaded + m_mainRuns, 0);
    EXPECT_TRUE(QDir(m_dir.file("shell.conf")).isEmpty()) << "nothing left beside the directory";
}

// At start-up both buttons run start-up again; while the launcher runs: the window test.
TEST_F(FormTest, OkSavesAndHidesCancelUnloadsAndBothRunStartUpAgain)
{
    for (bool ok : {false, true}) {
        m_view.hidden = m_view.unloaded = m_mainRuns = 0;
        load();
        ok ? m_logic->cmdOkClick() : m_logic->cmdCancelClick();
        EXPECT_EQ(QList<int>({m_view.hidden, m_view.unloaded, m_mainRuns}), QList<int>({ok, !ok, 1})) << ok;
        EXPECT_EQ(QFile::exists(m_dir.file("shell.conf")), ok) << ok;
    }
    // What the admin's log says of the save: where, never the password.
    ASSERT_EQ(m_logged.size(), 1);
    EXPECT_TRUE(m_logged[0].startsWith(QStringLiteral("settings saved to shell.conf: server ") + m_conf.db_host));
    EXPECT_FALSE(m_logged[0].contains(m_conf.db_password));
}

TEST_F(FormTest, WithoutPrintersTheBoxIsOffAndNoneIsSaved)
{
    kv::platform::RecordingSpooler none;
    m_conf.esc_printer = QStringLiteral("KV_A");
    load(&none);
    EXPECT_FALSE(m_view.checked || m_view.escPosEnabled || m_view.groupEnabled);
    EXPECT_EQ(m_conf.esc_printer, "none");
    m_logic->cmdOkClick();
    EXPECT_EQ(conf(), linesFor("3", "none"));
}

TEST_F(FormTest, CheckingTheBoxWarnsOnceOfARunningOrStartingOposProgram)
{
    const ProgramFacts front{"front", false, false};
    using List = std::optional<std::vector<ProgramFacts>>;
    const struct {
        List programs;
        bool warns;
    } cases[] = {
        {std::nullopt, false},                                       // no list yet
        {List({{"opos.exe", true, true}}), false},                   // the front-end slot is not looked at
        {List({front, {"xOpOs.exe", false, false}}), false},         // idle
        {List({front, {"OPOSDRV", true, false}, {"myopos", false, true}}), true},
        {List({front, {"cardrd", true, true}, {"c:/x/Opos.exe", false, true}}), true},
    };
    m_conf.esc_printer = QStringLiteral("KV_C");
    load();
    for (const auto &c : cases) {
        m_programs = c.programs;
        m_view.checked = false;
        m_logic->chkEscPosClick();
        m_view.checked = true;
        m_spooler.setPrinters({"KV_C", "KV_A", "KV_New"});
        if (c.warns)
            expectTold(kOpos, MsgIcon::Critical);
        m_logic->chkEscPosClick();
        m_prompter.verifyDone();
        EXPECT_EQ(m_view.printers, QStringList({"KV_C", "KV_A", "KV_New"})) << "refilled";
        EXPECT_EQ(m_view.selectedPrinter(), "KV_C");
        m_spooler.setPrinters({"KV_A", "KV_B", "KV_C"});
    }
}

TEST_F(FormTest, TestButtonsSayWhenThePrinterCannotBeReached)
{
    m_conf.esc_printer = QStringLiteral("KV_A");
    load();
    m_spooler.setReachable(false);
    expectTold(QStringLiteral("Could not connect to the printer."), MsgIcon::Critical);
    m_logic->cmdTestPrintClick();
    expectTold(QStringLiteral("Could not connect to the printer to open the drawer."), MsgIcon::Critical);
    m_logic->cmdTestDrawerClick();
    EXPECT_TRUE(m_spooler.writes().empty());
}

TEST_F(FormTest, TestPrintAndDrawerBytesReachTheSelectedPrinter)
{
    kv::platform::CupsSpooler cups;
    testprinter::TestPrinter printer(testprinter::otherQueue());
    m_conf.esc_printer = printer.name();
    load(&cups);
    ASSERT_EQ(m_view.selectedPrinter(), printer.name());

    const QByteArray receipt = QByteArray("\x1b\x63\x30\x02", 4) +
                               "\nThis is a test print.\nIf you can read this then the printer is working correctly "
                               "and should work for receipt printing.\nAt the end of this printout the receipt "
                               "printer should automatically cut the paper if it has this functionality.\n\n\n" +
                               QByteArray("\x1d\x56\x42\x00", 4);
    const QByteArray drawer = QByteArray("\x1b\x63\x30\x02\x1b\x70\x00\x19\xfa\x1b\x70\x01\x19\xfa", 14);
    auto mark = printer.mark();
    m_logic->cmdTestPrintClick();
    EXPECT_EQ(printer.bytesSince(mark), receipt);
    mark = printer.mark();
    m_logic->cmdTestDrawerClick();
    EXPECT_EQ(printer.bytesSince(mark).toHex(' '), drawer.toHex(' '));
    EXPECT_EQ(testprinter::serverJobs(printer.queue()).back().title, "Korvantis POS Test");
}
