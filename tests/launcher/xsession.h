// A private X display with a tray host for tests of the real launcher, and
// the xdotool steps a person's clicks become.
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>

namespace xsession {

// Starts Xvfb on a free display and trayer on it; both end with the
// program. Fails the test when either cannot start.
void start();
void stop();
// Ends and starts the tray host alone; starting a running one does nothing.
void stopTray();
void startTray();
QString display();

// Runs xdotool on the display; its standard output.
QString xdotool(const QStringList &arguments);

// Visible windows of the launcher (its X class is the executable's name).
QStringList launcherWindows();

// Waits until a visible window with exactly this title appears; "" on timeout.
QString waitForWindow(const QString &title, std::chrono::milliseconds timeout);

// Clicks the tray icon with a button and chooses the menu's item that
// stands `fromEnd` places from its end (1: the last).
void chooseMenuItem(const QString &iconWindow, int button, int fromEnd);

} // namespace xsession
