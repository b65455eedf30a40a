#include "launcher/traymenu.h"

namespace kv {

void TrayMenu::mnuManageClick()
{
    m_errors.reporting([this] {
        if (m_state.windows.programManager)
            m_state.windows.programManager->showWindow();
    });
}

void TrayMenu::mnuDBClick()
{
    m_errors.reporting([this] {
        if (m_state.windows.settingsDialog)
            m_state.windows.settingsDialog->showDialog();
    });
}

void TrayMenu::mnuUpdateClick()
{
    m_errors.reporting([this] { m_update.requestUpdate(); });
}

void TrayMenu::mnuExitClick()
{
    for (const char *image : {"blipnote.exe", "tallyward.exe", "dralfrontend.exe"})
        m_imageKiller.killImage(QLatin1String(image));
    m_state.windows.removeTrayIcon();
    m_state.launcherRunning = false;
    m_loop.wakeAtNextSecond();
}

void TrayMenu::askUpdateNow()
{
    m_boxes.askLater(QStringLiteral("Do the update now and restart Korvantis?"), MsgIcon::None,
                     OpenQuestions::Step::FrontEndEnd, [this](MsgResult answer) {
                         if (answer != MsgResult::Yes) {
                             askQuitAll();
                             return true;
                         }
                         m_state.updateOnExit = true;
                         m_state.quitLauncher();
                         return false;
                     });
}

void TrayMenu::askQuitAll()
{
    m_boxes.askLater(QStringLiteral("Do you wish to quit all Korvantis programs? (ie. Card Reader)"),
                     MsgIcon::Question, OpenQuestions::Step::FrontEndEnd, [this](MsgResult answer) {
                         if (answer == MsgResult::Yes)
                             m_state.quitLauncher();
                         else
                             m_state.keepLauncherWithoutFrontEnd();
                         return true;
                     });
}

} // namespace kv
