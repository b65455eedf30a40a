// The tray menu's commands and the settings dialog's hooks into start-up:
// what the person asks of the launcher from its windows.
#include "launcher/vbMain.h"

namespace kv {

SettingsDialog::Hooks Launcher::settingsDialogHooks()
{
    SettingsDialog::Hooks hooks;
    hooks.runMain = [this] {
        if (!launcherRunning && !m_ended)
            Main();
    };
    hooks.launcherRunning = [this] { return launcherRunning; };
    hooks.logEvent = [this](const QString &event) { m_parts.log.notice(event); };
    hooks.closedWithoutChoice = [this] {
        // Closing the dialog that start-up waits on leaves nothing to wait
        // for; closing the one the tray opened leaves the launcher running.
        if (!launcherRunning && !m_ended)
            endLauncher(0);
    };
    return hooks;
}

void Launcher::mnuManageClick()
{
    reportingErrors([this] {
        if (windows.programManager)
            windows.programManager->showWindow();
    });
}

void Launcher::mnuDBClick()
{
    reportingErrors([this] {
        if (windows.settingsDialog)
            windows.settingsDialog->showDialog();
    });
}

void Launcher::mnuUpdateClick()
{
    reportingErrors([this] { m_parts.update.requestUpdate(); });
}

void Launcher::mnuExitClick()
{
    for (const char *image : {"blipnote.exe", "tallyward.exe", "dralfrontend.exe"})
        m_parts.imageKiller.killImage(QLatin1String(image));
    windows.removeTrayIcon();
    launcherRunning = false;
    // The loop may sleep for seconds: it ends at the next second of its
    // ticks, as it did when it ticked every second.
    if (!m_inPass && !m_ended && m_passTimer.isActive())
        m_passTimer.start(int(m_cadence.msToNextSecond(m_parts.clock.monotonicMs())));
}

} // namespace kv
