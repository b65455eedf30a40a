// What a launcher is built from, and the launcher-wide values its parts share:
// start-up sets them, the loop, the tray menu and what the library's jobs
// found read and change them.
#pragma once

#include "station/vbConfig.h"
#include "station/vbDraldb.h"
#include "config/vbWatchdogApi.h"
#include "core/appcontext.h"
#include "core/clock.h"
#include "core/eventlog.h"
#include "core/noticesink.h"
#include "core/prompter.h"
#include "core/windowsapi.h"
#include "core/worker.h"
#include "launcher/startupdatabase.h"
#include "launcher/stationstatus.h"
#include "platform/process.h"
#include "platform/spooler.h"
#include "programs/vbManagedPrograms.h"

namespace kv {

// The icon in the notification area with its menu, as start-up and the tick
// see it. The GUI library shows it; tests record the calls.
class TrayIcon {
public:
    virtual ~TrayIcon() = default;
    virtual void addTrayIcon() = 0;
    // Harmless when the icon is already gone.
    virtual void removeTrayIcon() = 0;
    // Whether the menu's Exit item can be chosen.
    virtual void setExitAvailable(bool available) = 0;
};

// Where the windows come from; any may be null (a null dialog makes start-up
// end instead of waiting for one).
struct LauncherWindows {
    TrayIcon *tray = nullptr;
    SettingsDialog *settingsDialog = nullptr;
    ProgramManagerWindow *programManager = nullptr;
    WaitingWindow *waitingWindow = nullptr;
    // Where the till's health goes for the office.
    StationStatus *status = nullptr;

    void removeTrayIcon()
    {
        if (tray)
            tray->removeTrayIcon();
    }
    void setExitAvailable(bool available)
    {
        if (tray)
            tray->setExitAvailable(available);
    }
};

struct LauncherParts {
    const AppContext &ctx;
    // What shows the boxes; the launcher logs each one it shows through it.
    Prompter &prompter;
    Clock &clock;
    StartupDatabase &database;
    DatabaseWatchdog &watchdog;
    UpdateProcedure &update;
    ImageKiller &imageKiller;
    DraldbClient &draldb;
    platform::Spooler &spooler;
    platform::ProcessTable &processes;
    platform::ChildSpawner &spawner;
    // Runs the tick's work with the client library and the printer.
    Worker &libraryWorker;
    // What happened, for an admin to read afterwards.
    EventLog &log;
    // Another process ran this executable file when this one started.
    bool previousInstance = false;
};

// The launcher-wide values.
struct LauncherState {
    // The programs show their boxes through `prompter`.
    LauncherState(const LauncherParts &parts, Prompter &prompter)
        : managedPrograms(parts.ctx, prompter, parts.clock, shellConf, parts.log, parts.spawner, parts.processes)
    {
    }

    bool launcherRunning = false;
    bool escPosEnabled = false;
    qint32 libraryConnection = 0;
    bool frontEndClosed = false;
    bool updateOnExit = false;
    LauncherSettings shellConf;
    ManagedPrograms managedPrograms;
    LauncherWindows windows;
    // The way out has begun; its last write may still be out.
    bool leaving = false;
    // The launcher is done (launcherEnded was emitted), with this status.
    bool ended = false;
    int exitStatus = 0;

    // The person chose to quit: the loop ends at its next pass.
    void quitLauncher()
    {
        windows.removeTrayIcon();
        launcherRunning = false;
    }
    // The front-end is gone and the other programs go on; Exit can be chosen
    // again.
    void keepLauncherWithoutFrontEnd()
    {
        windows.setExitAvailable(true);
        managedPrograms.runnerOf(managedPrograms.managedPrograms.at(0)).pReady = false;
        frontEndClosed = true;
    }
};

} // namespace kv
