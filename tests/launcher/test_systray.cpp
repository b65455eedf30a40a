// The tray's menu and the plain settings window, offscreen: items, their
// order and availability, what each command reaches, and the dialog's three
// ways out.
#include "launcher/gui/vbSysTray.h"

#include "launcherfakes.h"
#include "platform/fakes/process_fake.h"
#include "platform/fakes/recordingspooler.h"
#include "config/vbDraldbFake.h"
#include "tempdir.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace launcherfakes;

namespace {

QApplication &app() { return testsupport::qtApp<QApplication>(); }

struct FakeManager final : kv::ProgramManagerWindow {
    int shown = 0;
    void showWindow() override { ++shown; }
};

// What the code under test writes to standard error meanwhile.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        m_saved = ::dup(2);
        m_file = std::tmpfile();
        ::dup2(::fileno(m_file), 2);
    }
    ~StderrCapture() { restore(); }
    std::string restore()
    {
        if (m_saved < 0)
            return m_text;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
        std::rewind(m_file);
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0)
            m_text.append(buffer, n);
        std::fclose(m_file);
        return m_text;
    }

private:
    int m_saved = -1;
    std::FILE *m_file = nullptr;
    std::string m_text;
};

class Tray : public ::testing::Test, protected LauncherRig {
protected:
    QApplication &application = app();
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
    // The SVG is in the resources and Qt can draw it.
    EXPECT_FALSE(tray.trayIcon().icon().pixmap(32, 32).isNull());
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

TEST_F(Tray, WithoutATraySaysSoOnce)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    StderrCapture capture;
    tray.addTrayIcon();
    tray.removeTrayIcon();
    tray.addTrayIcon();
    const QString text = QString::fromStdString(capture.restore());
    EXPECT_EQ(text.count(QStringLiteral("no system tray")), 1) << text.toStdString();
}

} // namespace
