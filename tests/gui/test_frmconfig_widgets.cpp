// The settings dialog's window, offscreen: the one instance that start-up and
// the tray menu share, and what closing it means.
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
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

namespace {

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
        testsupport::qtApp<QApplication>();
        testenv::psql("DELETE FROM config; INSERT INTO config (schemaversion) VALUES (95)");
        m_conf.esc_printer = QStringLiteral("none");
        kv::SettingsDialog::Hooks hooks;
        hooks.runMain = [this] { ++m_mainRuns; };
        hooks.launcherRunning = [this] { return m_running; };
        hooks.closedWithoutChoice = [this] { ++m_closedWithoutChoice; };
        m_dialog = std::make_unique<kv::QtSettingsDialog>(hooks, m_conf, [] { return nullptr; }, m_spooler, m_channel,
                                                          m_prompter, m_ctx);
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
    QLineEdit *stationId(kv::frmConfig &form) { return form.findChild<QLineEdit *>(QStringLiteral("txtStationID")); }

    testsupport::TempAppDir m_dir;
    kv::AppContext m_ctx{m_dir.path(), QStringLiteral("korvantis-launcher")};
    kv::LauncherSettings m_conf = testsupport::clusterSettings();
    kv::platform::RecordingSpooler m_spooler;
    kv::EscposChannel m_channel{m_spooler};
    testsupport::ScriptedPrompter m_prompter;
    bool m_running = true;
    int m_mainRuns = 0, m_closedWithoutChoice = 0;
    std::unique_ptr<kv::QtSettingsDialog> m_dialog;
};

TEST_F(DialogTest, OkKeepsTheWindowForTheNextOpeningCancelDropsIt)
{
    kv::frmConfig *first = &shown();
    stationId(*first)->setText(QStringLiteral(" 08"));
    m_prompter.expectMessage(QStringLiteral("Restart required for changes to take effect."), kv::MsgButtons::OK,
                             kv::MsgResult::OK);
    first->findChild<QPushButton *>(QStringLiteral("cmdOK"))->click();
    settle();
    EXPECT_FALSE(first->isVisible());
    ASSERT_EQ(m_dialog->form(), first) << "OK only hides";
    m_dialog->showDialog();
    EXPECT_EQ(stationId(*first)->text(), "8") << "shown as left, not reloaded";
    first->findChild<QPushButton *>(QStringLiteral("cmdCancel"))->click();
    settle();
    EXPECT_EQ(m_dialog->form(), nullptr);
    EXPECT_EQ(stationId(shown())->text(), "") << "a new load reads the settings afresh";
    EXPECT_EQ(m_mainRuns, 0) << "the launcher was running";
}

// Closed at start-up without OK or Cancel, the launcher ends; Escape is Cancel.
TEST_F(DialogTest, ClosingTheWindowAtStartUpEndsTheLauncherEscapeIsCancel)
{
    const struct {
        bool escape, running;
        int closedWithoutChoice, mainRuns;
    } cases[] = {{false, true, 0, 0}, {false, false, 1, 0}, {true, false, 0, 1}};
    for (const auto &c : cases) {
        m_running = c.running;
        m_closedWithoutChoice = m_mainRuns = 0;
        kv::frmConfig &form = shown();
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        c.escape ? void(QApplication::sendEvent(&form, &escape)) : void(form.close());
        settle();
        EXPECT_EQ(m_dialog->form(), nullptr) << c.escape << c.running;
        EXPECT_EQ(QList<int>({m_closedWithoutChoice, m_mainRuns}), QList<int>({c.closedWithoutChoice, c.mainRuns}))
            << c.escape << c.running;
    }
}

} // namespace
