// The settings dialog's window, offscreen: the controls a person and the
// logic rely on, and the one instance that start-up and the tray menu share.
#include "clustersettings.h"
#include "config/gui/frmConfig.h"
#include "config/gui/qtsettingsdialog.h"
#include "platform/fakes/recordingspooler.h"
#include "scriptedprompter.h"
#include "tempdir.h"
#include "testenv.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace {

QApplication &app() { return testsupport::qtApp<QApplication>(); }

template <class W = QWidget>
W *child(QWidget &form, const char *name)
{
    W *w = form.findChild<W *>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

// Lets deferred deletions run, as the event loop would between two clicks.
void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        app();
        m_conf = testsupport::clusterSettings();
        m_conf.esc_printer = QStringLiteral("none");
        m_ctx.appDir = m_dir.path();
        m_ctx.launcherName = QStringLiteral("korvantis-launcher");
        m_spooler.setPrinters({"KV_A", "KV_B"});
        testenv::psql("DELETE FROM config; INSERT INTO config (schemaversion) VALUES (95)");
        kv::SettingsDialog::Hooks hooks;
        hooks.runMain = [this] { ++m_mainRuns; };
        hooks.launcherRunning = [this] { return m_running; };
        hooks.closedWithoutChoice = [this] { ++m_closedWithoutChoice; };
        m_dialog = std::make_unique<kv::QtSettingsDialog>(
            hooks, m_conf, [] { return nullptr; }, m_spooler, m_channel, m_prompter, m_ctx);
    }
    void TearDown() override
    {
        m_dialog.reset();
        settle();
    }
    kv::frmConfig &shown()
    {
        m_dialog->showDialog();
        EXPECT_NE(m_dialog->form(), nullptr);
        return *m_dialog->form();
    }

    testsupport::TempAppDir m_dir;
    kv::AppContext m_ctx;
    kv::LauncherSettings m_conf;
    kv::platform::RecordingSpooler m_spooler;
    kv::EscposChannel m_channel{m_spooler};
    testsupport::ScriptedPrompter m_prompter;
    bool m_running = true;
    int m_mainRuns = 0;
    int m_closedWithoutChoice = 0;
    std::unique_ptr<kv::QtSettingsDialog> m_dialog;
};

} // namespace

TEST_F(DialogTest, ControlsCarryTheirNamesAndCaptionsAndLoadReplacesTheDesignTexts)
{
    kv::frmConfig &form = shown();
    EXPECT_EQ(form.windowTitle(), "Korvantis Launcher Configuration");
    const struct {
        const char *name, *caption;
    } captions[] = {
        {"Label1", "Server"},       {"Label4", "Database"},      {"Label2", "Username"},
        {"Label3", "Password"},     {"Label5", "Station ID"},    {"lblPrinter", "Printer"},
        {"cmdTestConn", "Test Connection"},                      {"chkEscPos", "Enable Esc/Pos receipt printing"},
        {"cmdTestPrint", "Test Print"},                          {"cmdTestDrawer", "Test Drawer"},
        {"cmdOK", "OK"},            {"cmdCancel", "Cancel"},     {"Frame1", "Database Settings"},
    };
    for (const auto &c : captions) {
        QWidget *w = form.findChild<QWidget *>(c.name);
        ASSERT_NE(w, nullptr) << c.name;
        EXPECT_EQ(w->property(qobject_cast<QGroupBox *>(w) ? "title" : "text").toString(), c.caption) << c.name;
    }
    EXPECT_EQ(child<QLineEdit>(form, "txtServer")->text(), m_conf.db_host);
    EXPECT_EQ(child<QLineEdit>(form, "txtStationID")->text(), "") << "an empty id still replaces the design text";
    EXPECT_EQ(child<QLabel>(form, "lblStatus")->text(), "Connection OK");
    EXPECT_EQ(child<QComboBox>(form, "cmbPrinter")->count(), 2);
    child<QLineEdit>(form, "txtPassword")->setText(QStringLiteral("s3cr=t"));
    EXPECT_EQ(child<QLineEdit>(form, "txtPassword")->displayText(), "******");
}

TEST_F(DialogTest, TabGoesThroughTheBoxesThenTheButtonsThenThePrinterControls)
{
    kv::frmConfig &form = shown();
    const QStringList expected = {"txtServer", "txtDatabase", "txtUsername", "txtPassword",
                                  "txtStationID", "cmdOK", "cmdCancel", "cmdTestConn",
                                  "chkEscPos", "cmbPrinter", "cmdTestPrint", "cmdTestDrawer"};
    QStringList seen;
    QWidget *w = child<QLineEdit>(form, "txtServer");
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            seen << w->objectName();
        w = w->nextInFocusChain();
    } while (w != child<QLineEdit>(form, "txtServer") && seen.size() < 50);
    EXPECT_EQ(seen, expected);
}

TEST_F(DialogTest, ThePrinterGroupFollowsTheBox)
{
    kv::frmConfig &form = shown();
    const auto group = [&] {
        QList<bool> states;
        for (const char *name : {"lblPrinter", "cmbPrinter", "cmdTestPrint", "cmdTestDrawer"})
            states << child(form, name)->isEnabled();
        return states;
    };
    EXPECT_EQ(group(), QList<bool>({false, false, false, false})) << "printing off in shell.conf";
    for (bool expected : {true, false, true}) {
        child<QCheckBox>(form, "chkEscPos")->click();
        EXPECT_EQ(group(), QList<bool>({expected, expected, expected, expected}));
    }
}

TEST_F(DialogTest, OkKeepsTheWindowForTheNextOpeningCancelDropsIt)
{
    kv::frmConfig *first = &shown();
    child<QLineEdit>(*first, "txtServer")->setText(QStringLiteral("typed"));
    m_dialog->showDialog();
    EXPECT_EQ(m_dialog->form(), first) << "a second opening while loaded loads nothing";
    EXPECT_EQ(child<QLineEdit>(*first, "txtServer")->text(), "typed");

    child<QLineEdit>(*first, "txtServer")->setText(m_conf.db_host);
    child<QLineEdit>(*first, "txtStationID")->setText(QStringLiteral(" 08"));
    m_prompter.expectMessage(QStringLiteral("Restart required for changes to take effect."), kv::MsgButtons::OK,
                             kv::MsgResult::OK);
    child<QPushButton>(*first, "cmdOK")->click();
    settle();
    EXPECT_FALSE(first->isVisible());
    ASSERT_EQ(m_dialog->form(), first) << "OK only hides";
    m_dialog->showDialog();
    EXPECT_EQ(child<QLineEdit>(*first, "txtStationID")->text(), "8") << "shown as left, not reloaded";

    child<QPushButton>(*first, "cmdCancel")->click();
    settle();
    EXPECT_EQ(m_dialog->form(), nullptr);
    EXPECT_EQ(child<QLineEdit>(shown(), "txtStationID")->text(), "") << "a new load reads shellConf afresh";
    EXPECT_EQ(m_mainRuns, 0) << "the launcher was running";
}

TEST_F(DialogTest, ClosingTheWindowAtStartUpEndsTheLauncherEscapeIsCancel)
{
    const struct {
        bool escape, running;
        int closedWithoutChoice, mainRuns;
    } cases[] = {
        {false, true, 0, 0},
        {false, false, 1, 0},
        {true, false, 0, 1},
    };
    for (const auto &c : cases) {
        m_running = c.running;
        m_closedWithoutChoice = m_mainRuns = 0;
        kv::frmConfig &form = shown();
        if (c.escape) {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(&form, &escape);
        } else {
            form.close();
        }
        settle();
        EXPECT_EQ(m_dialog->form(), nullptr) << c.escape << c.running;
        EXPECT_EQ(m_closedWithoutChoice, c.closedWithoutChoice) << c.escape << c.running;
        EXPECT_EQ(m_mainRuns, c.mainRuns) << c.escape << c.running;
    }
}
