// The two windows that start-up and the tray menu open, as the core sees
// them. The GUI library fills these in; core tests record the calls.
#pragma once

#include <QString>

#include <functional>

namespace kv {

// The settings dialog is one instance. Start-up shows it instead of going on
// when the settings are incomplete or the database is unusable; OK and Cancel
// then run start-up again. The tray menu shows it while the launcher runs.
class SettingsDialog {
public:
    // What the dialog calls back into start-up with.
    struct Hooks {
        // Runs start-up again (OK and Cancel while the launcher is not running).
        std::function<void()> runMain;
        // The main loop runs (the launcher-wide launcherRunning).
        std::function<bool()> launcherRunning;
        // The dialog was closed neither by OK nor by Cancel while it was the
        // launcher's only window: the launcher ends.
        std::function<void()> closedWithoutChoice;
        // An event for the admin's log (a save, never a password).
        std::function<void(const QString &)> logEvent;
    };

    virtual ~SettingsDialog() = default;
    // Loads the dialog (a no-op while it is loaded) and shows it modeless.
    virtual void showDialog() = 0;
    // Unloads the dialog if it is loaded; start-up does this at its start.
    virtual void unloadDialog() = 0;
};

// The program manager window: created on first use, then shown and hidden.
class ProgramManagerWindow {
public:
    virtual ~ProgramManagerWindow() = default;
    virtual void showWindow() = 0;
    // The launcher is ending: edits the database has not taken yet get one
    // last try, and those that still fail are named to the person when
    // `mayAsk` (the person chose to quit; when the system ends the launcher
    // nobody may be there to read it). Returns what was lost, for the log:
    // "" when everything is saved.
    virtual QString saveBeforeQuit(bool mayAsk) = 0;
};

// A small window that tells the person start-up waits for the database,
// which can take half a minute with nothing else on screen. Start-up runs on
// the one thread between blocking checks: showWaiting returns only once the
// window is on screen and painted, and keepShown lets it repaint (and the
// system's request to end come in) while start-up waits between checks.
class WaitingWindow {
public:
    virtual ~WaitingWindow() = default;
    virtual void showWaiting(const QString &text) = 0;
    virtual void keepShown() = 0;
    virtual void hideWaiting() = 0;
};

// Shows a waiting window (when there is one) for a scope and hides it on
// every way out.
class WaitingShown {
public:
    WaitingShown(WaitingWindow *window, const QString &text) : m_window(window)
    {
        if (m_window)
            m_window->showWaiting(text);
    }
    ~WaitingShown()
    {
        if (m_window)
            m_window->hideWaiting();
    }
    WaitingShown(const WaitingShown &) = delete;
    WaitingShown &operator=(const WaitingShown &) = delete;

private:
    WaitingWindow *m_window;
};

} // namespace kv
