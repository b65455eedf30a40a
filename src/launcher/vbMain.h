// The launcher's life: start-up, the main loop and its tick, the tray menu's
// commands and the way out.
//
// The loop departs on purpose from a fixed pass every second: it sleeps while
// nothing is due and wakes only for what is due, every timing a cashier, an
// admin or the office can see held. The tick stays a second of its own: the
// ticks with nothing to do (neither the watchdog's look on every fourth, nor
// its check on the eleventh, nor the re-listen) are slept through and only
// counted, so the checks keep their seconds. The loop wakes for a program's
// output or end (ProgramWatch: its pipe or process descriptor), for the
// library's socket (NotificationWake: a notification is taken at once, so
// that a receipt does not wait for any pass), and at the time of the next
// restart of an ended program, the next retry of rows left queued, or the
// next look at the printer for the status row. While work is out (a look of
// the watchdog, a library job or its findings, a look at jobs out, a
// question, a program with nothing to wait on) it keeps a tick a second, as
// before. Passes a program's output asks for come at most one a second, so a
// busy program's output stays bounded per pass and per second.
// Another departure: no box or question holds the loop or start-up
// (OpenQuestions).
// Everything outside (the database, the client library, the printer,
// processes, the person, time) comes in through LauncherParts, so tests build
// a launcher of fakes.
#pragma once

#include "station/vbConfig.h"
#include "station/vbDatabase.h"
#include "station/vbDraldb.h"
#include "config/vbWatchdogApi.h"
#include "core/appcontext.h"
#include "core/clock.h"
#include "core/eventlog.h"
#include "core/noticesink.h"
#include "core/outcome.h"
#include "core/prompter.h"
#include "core/windowsapi.h"
#include "core/worker.h"
#include "escpos/vbEscpos.h"
#include "launcher/libraryjobs.h"
#include "launcher/loopcadence.h"
#include "launcher/notificationwake.h"
#include "launcher/openquestions.h"
#include "launcher/passlog.h"
#include "launcher/programwatch.h"
#include "launcher/stationstatus.h"
#include "launcher/startupdatabase.h"
#include "platform/process.h"
#include "platform/spooler.h"
#include "programs/vbManagedPrograms.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

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

class Launcher final : public QObject {
    Q_OBJECT

    // Every box of the launcher and of the parts it builds, each logged with
    // its answer. Made first: the programs below show boxes through it.
    LauncherBoxes m_boxes;

public:
    static constexpr int kOlderInstanceWaitMs = 4000;

    // The channels listened on, in this order.
    static const QStringList &channels();

    explicit Launcher(const LauncherParts &parts, QObject *parent = nullptr);

    // Launcher-wide values.
    bool launcherRunning = false;
    bool escPosEnabled = false;
    qint32 libraryConnection = 0;
    bool frontEndClosed = false;
    bool updateOnExit = false;
    LauncherSettings shellConf;
    ManagedPrograms managedPrograms;

    QString confPath() const;

    // Start-up. Continue: the main loop runs (or the settings dialog waits
    // for the person). LauncherEnds: launcherEnded has been emitted.
    Outcome Main();

    // One pass of the main loop with its tick (the tick and the periodic
    // re-listen), for tests to stand for a second; the loop's timer goes
    // through onPassTimer.
    void runPass();
    void mainTick();
    // What the loop's timer does when it fires: a pass with its tick when a
    // tick is due, else a pass without (for a program's output or end, a
    // restart or a retry that fell due between ticks), then the timer set for
    // what is due next. Tests call it with the clock set to nextWakeMs().
    void onPassTimer();
    // When the loop's timer is set to fire (monotonic).
    qint64 nextWakeMs() const { return m_wakeAtMs; }

    // The tray menu's commands.
    void mnuManageClick();
    void mnuDBClick();
    void mnuUpdateClick();
    void mnuExitClick();

    // The system asks the launcher to end (SIGTERM): the quit path at once,
    // the front-end left running, no update.
    void terminate();

    LauncherWindows windows;
    SettingsDialog::Hooks settingsDialogHooks();

    bool ended() const { return m_ended; }
    EventLog &eventLog() { return m_parts.log; }
    // For the windows that show boxes of their own: logged as the launcher's.
    Prompter &prompter() { return m_boxes.prompter; }
    int exitStatus() const { return m_exitStatus; }
    bool passInProgress() const { return m_inPass; }

signals:
    // The launcher is done; the process ends with this status.
    void launcherEnded(int exitStatus);

private:
    Outcome startUp();
    // `why` goes to the log.
    Outcome openSettingsDialog(const QString &why);
    Outcome endLauncher(int status);
    // A run-time error that ends a tick or pass without a word to the person.
    void swallowRunTimeError(const char *where);
    // Runs `step`; an error it throws is shown as a run-time error. False
    // when it threw. Menu commands run inside Qt's event dispatch, which no
    // exception may cross.
    bool reportingErrors(const std::function<void()> &step);
    void askUpdateNow();
    void askQuitAll();
    void listenAll();
    void tickBody(bool tick);
    void notificationStep();
    // False when the findings end the tick.
    bool actOnFindings(const LibraryFindings &found);
    void keepLauncherWithoutFrontEnd();
    void quitLauncher();
    // fromTimer: the loop's timer, which may find no tick due.
    void passOf(bool fromTimer);
    // Work is out that the next tick takes up.
    bool wantsNextTick() const;
    // Watches what runs now and sets the loop's timer for what is due next.
    void scheduleNext();
    void planWake();
    void finishLoop();
    void logUnsaved(const QString &lost);

    LauncherParts m_parts;
    LibraryJobs m_library;
    FindingsLog m_findingsLog;
    // Hands the library jobs over and takes a notification between passes.
    NotificationWake m_wake;
    QTimer m_passTimer;
    // The programs' pipes the loop waits on between passes.
    ProgramWatch m_programWatch;
    LoopCadence m_cadence;
    qint64 m_wakeAtMs = 0;
    bool m_inPass = false;
    bool m_ended = false;
    int m_exitStatus = 0;
};

} // namespace kv
