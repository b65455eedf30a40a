// The tray's menu, offscreen: its items, their order and availability, and
// what each command reaches.
#include "launcher/gui/frmConnecting.h"
#include "launcher/gui/vbSysTray.h"

#include "launcherfakes.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QApplication>

using namespace launcherfakes;

namespace {

class Tray : public ::testing::Test, protected LauncherRig {
protected:
    QApplication &application = testsupport::qtApp<QApplication>();
    kv::Launcher launcher{parts()};
    kv::SysTray tray{launcher};

    QAction *item(const QString &text)
    {
        for (QAction *a : tray.popupMenu().actions()) {
            if (a->text() == text)
                return a;
        }
        ADD_FAILURE() << "no menu item " << text.toStdString();
        return nullptr;
    }
};

TEST_F(Tray, MenuItemsInOrderWithAboutAndSeparatorOutOfUse)
{
    QStringList texts;
    QList<bool> enabled;
    for (QAction *a : tray.popupMenu().actions()) {
        texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
        enabled << a->isEnabled();
    }
    EXPECT_EQ(texts, (QStringList{"About", "-", "Manage Programs", "Launcher Settings", "Update on Restart", "Exit"}));
    EXPECT_EQ(enabled, (QList<bool>{false, false, true, true, true, true}));
    EXPECT_EQ(tray.trayIcon().toolTip(), QStringLiteral("Korvantis Launcher"));
    // A tray's own size is drawn from a PNG, which needs no SVG plugin.
    EXPECT_TRUE(tray.trayIcon().icon().availableSizes().contains(QSize(22, 22)));
}

TEST_F(Tray, CommandsReachTheirWindowsAndTheLauncher)
{
    // Before the windows exist the two items do nothing.
    item(QStringLiteral("Manage Programs"))->trigger();
    item(QStringLiteral("Launcher Settings"))->trigger();
    FakeManager manager;
    FakeDialog dialog;
    launcher.setProgramManagerWindow(&manager);
    launcher.setSettingsDialog(&dialog);
    item(QStringLiteral("Manage Programs"))->trigger();
    item(QStringLiteral("Launcher Settings"))->trigger();
    item(QStringLiteral("Update on Restart"))->trigger();
    EXPECT_EQ(manager.shown, 1);
    EXPECT_EQ(dialog.shown, 1);
    EXPECT_EQ(update.requests, 1);

    launcher.launcherRunning = true;
    tray.addTrayIcon();
    tray.setExitAvailable(false);
    EXPECT_FALSE(item(QStringLiteral("Exit"))->isEnabled());
    tray.setExitAvailable(true);
    item(QStringLiteral("Exit"))->trigger();
    EXPECT_EQ(killer.killed, (QStringList{"blipnote.exe", "tallyward.exe", "dralfrontend.exe"}));
    EXPECT_FALSE(launcher.launcherRunning);
    EXPECT_FALSE(tray.iconShown());
    tray.removeTrayIcon();
    EXPECT_FALSE(tray.iconShown());
}

// Start-up blocks on the database right after showing it: by then it must
// have been painted.
TEST(WaitingWindow, IsPaintedBeforeShowWaitingReturns)
{
    testsupport::qtApp<QApplication>();
    kv::frmConnecting window;
    struct Paints : QObject {
        int count = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            count += event->type() == QEvent::Paint;
            return false;
        }
    } paints;
    window.installEventFilter(&paints);
    window.showWaiting(QStringLiteral("Connecting to the database…"));
    EXPECT_TRUE(window.isVisible());
    EXPECT_GT(paints.count, 0);
    window.hideWaiting();
    EXPECT_FALSE(window.isVisible());
}

} // namespace
