// The settings dialog's rules without widgets: connection tests against the
// test cluster, saves into a temporary application directory, test prints
// at the private print server's test printer.
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
const QString kRestart = QStringLiteral("Restart required for changes to take effect.");
const QString kBadId = QStringLiteral("The station id provided is invalid. The station id needs to be a number.");
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
    void clearPrinters() override
    {
        printers.clear();
        selected = -1;
    }
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
    FrmConfigLogic &load(kv::platform::Spooler *spooler = nullptr)
    {
        spooler = spooler ? spooler : &m_spooler;
        m_channel = std::make_unique<kv::EscposChannel>(*spooler);
        kv::SettingsDialog::Hooks hooks;
        hooks.runMain = [this] { ++m_mainRuns; };
        hooks.launcherRunning = [this] { return m_running; };
        m_logic = std::make_unique<FrmConfigLogic>(
            m_view, m_conf, [this] { return m_programs; }, *spooler, *m_channel, m_prompter, m_ctx, hooks);
        m_logic->formLoad();
        return *m_logic;
    }
    QByteArray conf() const { return m_dir.read(QStringLiteral("shell.conf")); }
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
    bool m_running = false;
    int m_mainRuns = 0;
    std::unique_ptr<FrmConfigLogic> m_logic;
};

// Brings a stopped cluster back on every way out of the test.
struct ClusterStopped {
    ClusterStopped() { testenv::pgctl("stop"); }
    ~ClusterStopped() { testenv::pgctl("start"); }
};

} // namespace

TEST_F(FormTest, LoadFillsTheBoxesPicksTheConfiguredPrinterAndTestsTheConnection)
{
    m_conf.esc_printer = QStringLiteral("KV_B");
    FrmConfigLogic &form = load();
    EXPECT_EQ(m_view.texts[T::Server], m_conf.db_host);
    EXPECT_EQ(m_view.texts[T::Database], m_conf.db_name);
    EXPECT_EQ(m_view.texts[T::Username], m_conf.db_username);
    EXPECT_EQ(m_view.texts[T::Password], m_conf.db_password);
    EXPECT_EQ(m_view.texts[T::StationID], "3");
    EXPECT_EQ(m_view.printers, QStringList({"KV_A", "KV_B", "KV_C"}));
    EXPECT_EQ(m_view.selectedPrinter(), "KV_B");
    EXPECT_TRUE(m_view.checked && m_view.escPosEnabled && m_view.groupEnabled);
    EXPECT_EQ(m_view.texts[T::Status], "Connection OK");
    EXPECT_TRUE(form.connectionOk());
    EXPECT_EQ(m_prompter.busyChanges(), QList<bool>({true, false}));
    form.cmdOkClick();
    EXPECT_EQ(conf(), linesFor("3", "KV_B"));
}

TEST_F(FormTest, PrintingOffOrAPrinterThatIsGoneLeavesTheFirstSelectedAndTheGroupOff)
{
    for (const char *printer : {"", "none", "KV_Gone"}) {
        m_conf.esc_printer = QString::fromUtf8(printer);
        load();
        const bool on = QByteArray(printer) == "KV_Gone";
        EXPECT_EQ(m_view.selectedPrinter(), "KV_A") << printer;
        EXPECT_EQ(m_view.checked, on) << printer;
        EXPECT_EQ(m_view.groupEnabled, on) << printer;
        EXPECT_TRUE(m_view.escPosEnabled) << printer;
    }
}

TEST_F(FormTest, EachFailureShowsItsStatus)
{
    FrmConfigLogic &form = load();
    const struct {
        T box;
        const char *typed;
        const char *status;
    } cases[] = {
        {T::Password, "wrong", "Bad user/pass"},
        {T::Username, "nobody_here", "Bad user/pass"},
        {T::Database, "no_such_db", "Connection error"},
    };
    for (const auto &c : cases) {
        const QString kept = m_view.texts[c.box];
        m_view.texts[c.box] = QString::fromUtf8(c.typed);
        form.cmdTestConnClick();
        EXPECT_EQ(m_view.texts[T::Status], c.status) << c.typed;
        EXPECT_FALSE(form.connectionOk()) << c.typed;
        m_view.texts[c.box] = kept;
        form.cmdTestConnClick();
        EXPECT_TRUE(form.connectionOk()) << "back to good after " << c.typed;
    }
    {
        ClusterStopped stopped;
        const auto t0 = std::chrono::steady_clock::now();
        form.cmdTestConnClick();
        EXPECT_EQ(m_view.texts[T::Status], "No connection");
        EXPECT_LT(dbtest::secondsSince(t0), kv::odbc::kLoginTimeoutSeconds + 1.0);
        EXPECT_FALSE(form.connectionOk());
    }
    {
        // A server that hangs costs the dialog the login timeout, no more.
        dbtest::StoppedProcess hung(testenv::postmasterPid());
        const auto t0 = std::chrono::steady_clock::now();
        form.cmdTestConnClick();
        EXPECT_EQ(m_view.texts[T::Status], "No connection");
        EXPECT_LT(dbtest::secondsSince(t0), kv::odbc::kLoginTimeoutSeconds + 2.0);
    }
    EXPECT_FALSE(m_prompter.busy()) << "the cursor came back after every test";
}

TEST_F(FormTest, OldDatabaseIsShownAndOkRefusesToSave)
{
    testenv::psql("UPDATE config SET schemaversion = 80");
    FrmConfigLogic &form = load();
    EXPECT_EQ(m_view.texts[T::Status], "Old database");
    m_prompter.expectMessage(kBadSettings, MsgButtons::OK, MsgResult::OK, kTitle, MsgIcon::Critical, true);
    form.cmdOkClick();
    EXPECT_FALSE(QFile::exists(m_dir.file("shell.conf")));
    EXPECT_EQ(m_view.hidden + m_view.unloaded + m_mainRuns, 0);
}

TEST_F(FormTest, OkSavesTheStationIdInPlainDecimalForm)
{
    // Under LC_ALL=C.UTF-8 (set for this test): "." is the decimal point, "," groups.
    const struct {
        const char *typed;
        const char *saved; // nullptr: refused with the message below
        const QString *message = nullptr;
    } cases[] = {
        {"007", "7"},        {"  007 ", "7"},  {"2.5", "2"},         {"3.5", "4"},         {"-2.5", "-2"},
        {"1,000", "1000"},   {"", ""},         {"32767", "32767"},   {"-32768.5", "-32768"},
        {"40000", nullptr, &kNoRights},        {"32767.5", nullptr, &kNoRights},
        {"abc", nullptr, &kBadId},             {"inf", nullptr, &kBadId}, {"2,5", nullptr, &kBadId},
    };
    load();
    const QByteArray before = "db_host = old\r\n";
    for (const auto &c : cases) {
        m_dir.write(QStringLiteral("shell.conf"), before);
        m_view.hidden = m_mainRuns = 0;
        m_view.texts[T::StationID] = QString::fromUtf8(c.typed);
        if (c.message)
            m_prompter.expectMessage(*c.message, MsgButtons::OK, MsgResult::OK, kTitle,
                                     c.message == &kBadId ? MsgIcon::Critical : MsgIcon::Information, true);
        m_logic->cmdOkClick();
        m_prompter.verifyDone();
        if (c.saved) {
            EXPECT_EQ(conf(), linesFor(QString::fromUtf8(c.saved))) << c.typed;
            EXPECT_EQ(m_view.texts[T::StationID], c.saved) << c.typed;
            EXPECT_EQ(m_view.hidden, 1) << c.typed;
            EXPECT_EQ(m_mainRuns, 1) << c.typed;
        } else {
            EXPECT_EQ(conf(), before) << c.typed;
            EXPECT_EQ(m_view.hidden + m_mainRuns, 0) << c.typed;
        }
    }
}

TEST(StationIdText, NumbersFollowTheLocale)
{
    const QLocale german(QLocale::German, QLocale::Germany);
    const struct {
        const char *text;
        std::optional<double> c, de;
    } cases[] = {
        {"2.5", 2.5, std::nullopt}, {"2,5", std::nullopt, 2.5}, {"1.000,5", std::nullopt, 1000.5},
        {" 7 ", 7.0, 7.0},          {"1e3", 1000.0, 1000.0},     {"nan", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kv::config::parseStationId(QString::fromUtf8(c.text), QLocale::c()), c.c) << c.text;
        EXPECT_EQ(kv::config::parseStationId(QString::fromUtf8(c.text), german), c.de) << c.text;
    }
    EXPECT_EQ(kv::config::stationIdToInt16(0.5), qint16(0));
    EXPECT_EQ(kv::config::stationIdToInt16(-32768.5), qint16(-32768));
    EXPECT_EQ(kv::config::stationIdToInt16(-32769), std::nullopt);
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
        {"", ""},
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
    m_prompter.expectMessage(kNoRights, MsgButtons::OK, MsgResult::OK, kTitle, MsgIcon::Information, true);
    m_logic->cmdOkClick();
    EXPECT_EQ(m_view.hidden + m_view.unloaded + m_mainRuns, 0);
    EXPECT_TRUE(QDir(m_dir.file("shell.conf")).isEmpty()) << "nothing left beside the directory";
}

TEST_F(FormTest, OkHidesAndCancelUnloadsAndOnlyStartUpRunsAgain)
{
    const struct {
        bool ok, running;
        int hidden, unloaded, mainRuns;
    } cases[] = {
        {true, false, 1, 0, 1},
        {true, true, 1, 0, 0},
        {false, false, 0, 1, 1},
        {false, true, 0, 1, 0},
    };
    for (const auto &c : cases) {
        m_view.hidden = m_view.unloaded = m_mainRuns = 0;
        m_running = c.running;
        load();
        if (c.ok && c.running)
            m_prompter.expectMessage(kRestart, MsgButtons::OK, MsgResult::OK, kTitle, MsgIcon::Information, true);
        if (c.ok)
            m_logic->cmdOkClick();
        else
            m_logic->cmdCancelClick();
        m_prompter.verifyDone();
        EXPECT_EQ(m_view.hidden, c.hidden) << c.ok << c.running;
        EXPECT_EQ(m_view.unloaded, c.unloaded) << c.ok << c.running;
        EXPECT_EQ(m_mainRuns, c.mainRuns) << c.ok << c.running;
        EXPECT_EQ(QFile::exists(m_dir.file("shell.conf")), c.ok) << c.ok << c.running;
        QFile::remove(m_dir.file("shell.conf"));
    }
    EXPECT_EQ(m_conf.db_host, dbtest::clusterSettings().db_host) << "a save changes nothing in memory";
}

TEST_F(FormTest, WithoutPrintersTheBoxIsOffAndNoneIsSaved)
{
    kv::platform::RecordingSpooler none;
    m_conf.esc_printer = QStringLiteral("KV_A");
    load(&none);
    EXPECT_FALSE(m_view.checked || m_view.escPosEnabled || m_view.groupEnabled);
    EXPECT_TRUE(m_view.printers.isEmpty());
    EXPECT_EQ(m_conf.esc_printer, "none");
    m_logic->cmdOkClick();
    EXPECT_EQ(conf(), linesFor("3", "none"));
}

TEST_F(FormTest, CheckingTheBoxWarnsOnceOfARunningOrStartingOposProgram)
{
    const auto prog = [](const char *exe, bool running, bool onStart) {
        return ProgramFacts{QString::fromUtf8(exe), running, onStart};
    };
    using List = std::optional<std::vector<ProgramFacts>>;
    const struct {
        const char *what;
        List programs;
        bool warns;
    } cases[] = {
        {"no list yet", std::nullopt, false},
        {"front-end slot is not looked at", List({prog("opos.exe", true, true)}), false},
        {"idle opos", List({prog("front", false, false), prog("xOpOs.exe", false, false)}), false},
        {"two in capitals", List({prog("front", false, false), prog("OPOSDRV", true, false),
                                   prog("myopos", false, true)}),
         true},
        {"starts with the station", List({prog("front", false, false), prog("cardrd", true, true),
                                           prog("c:/x/Opos.exe", false, true)}),
         true},
    };
    m_conf.esc_printer = QStringLiteral("KV_C");
    load();
    for (const auto &c : cases) {
        m_programs = c.programs;
        m_view.checked = false;
        m_logic->chkEscPosClick();
        EXPECT_FALSE(m_view.groupEnabled) << c.what;
        m_view.checked = true;
        m_spooler.setPrinters({"KV_C", "KV_A", "KV_New"});
        if (c.warns)
            m_prompter.expectMessage(kOpos, MsgButtons::OK, MsgResult::OK, kTitle, MsgIcon::Critical, true);
        m_logic->chkEscPosClick();
        m_prompter.verifyDone();
        EXPECT_TRUE(m_view.checked && m_view.groupEnabled) << c.what;
        EXPECT_EQ(m_view.printers, QStringList({"KV_C", "KV_A", "KV_New"})) << c.what;
        EXPECT_EQ(m_view.selectedPrinter(), "KV_C") << c.what;
        m_spooler.setPrinters({"KV_A", "KV_B", "KV_C"});
    }
}

TEST_F(FormTest, TestButtonsSayWhenThePrinterCannotBeReached)
{
    m_conf.esc_printer = QStringLiteral("KV_A");
    load();
    m_spooler.setReachable(false);
    m_prompter.expectMessage(QStringLiteral("Could not connect to the printer."), MsgButtons::OK, MsgResult::OK,
                             kTitle, MsgIcon::Critical, true);
    m_logic->cmdTestPrintClick();
    m_prompter.expectMessage(QStringLiteral("Could not connect to the printer to open the drawer."), MsgButtons::OK,
                             MsgResult::OK, kTitle, MsgIcon::Critical, true);
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
    const auto jobs = testprinter::serverJobs(printer.queue());
    ASSERT_FALSE(jobs.empty());
    EXPECT_EQ(jobs.back().title, "Korvantis POS Test");
}
