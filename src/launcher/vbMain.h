// The launcher's life: start-up, the main loop and its tick, and the way out.
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
// next look at the printer for the status row (and at once when that look
// found the printer's reasons changed). While work is out (a look of
// the watchdog, a library job or its findings, a look at jobs out, a
// question, a program with nothing to wait on) it keeps a tick a second, as
// before. Passes a program's output asks for come at most one a second, so a
// busy program's output stays bounded per pass and per second.
// Another departure: no box or question holds the loop or start-up
// (OpenQuestions).
// Everything outside (the database, the client library, the printer,
// processes, the person, time) comes in through LauncherParts, so tests build
// a launcher of fakes.
//
// The launcher-wide values (LauncherState) are shared with the parts that
// work on them: when the loop wakes (LoopTimer), the tray menu (TrayMenu),
// what the library's jobs found (FindingsHandler).
#pragma once

#include "core/outcome.h"
#include "core/windowsapi.h"
#include "launcher/findingshandler.h"
#include "launcher/launcherstate.h"
#include "launcher/libraryjobs.h"
#include "launcher/looptimer.h"
#include "launcher/notificationwake.h"
#include "launcher/openquestions.h"
#include "launcher/runtimeerror.h"
#include "launcher/traymenu.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace kv {

class Launcher final : public QObject {
    Q_OBJECT

    // Every box of the launcher and of the parts it builds, each logged with
    // its answer. Made first: the programs below show boxes through it.
    LauncherBoxes m_boxes;
    LauncherParts m_parts;

public:
    // The channels listened on, in this order.
    static const QStringList &channels();

    explicit Launcher(const LauncherParts &parts, QObject *parent = nullptr);

    LauncherState state;

    // Start-up. Continue: the main loop runs (or the settings dialog waits
    // for the person). LauncherEnds: launcherEnded has been emitted.
    Outcome Main();

    // One pass of the main loop: its tick (unless fromTimer finds none due:
    // then a pass for a program's output or end, a restart or a retry that
    // fell due between ticks) and the periodic re-listen. Tests call it to
    // stand for a second; the loop's timer calls it through loop.
    void runPass(bool fromTimer = false);
    // The tick's work; a pass between ticks (tick false) does it without the
    // periodic checks.
    void mainTick(bool tick = true);

    // The system asks the launcher to end (SIGTERM): the quit path at once,
    // the front-end left running, no update.
    void terminate();

    SettingsDialog::Hooks settingsDialogHooks();
    EventLog &eventLog() { return m_parts.log; }
    // For the windows that show boxes of their own: logged as the launcher's.
    Prompter &prompter() { return m_boxes.prompter; }

signals:
    // The launcher is done; the process ends with this status.
    void launcherEnded(int exitStatus);

private:
    Outcome startUp();
    // `why` goes to the log.
    Outcome openSettingsDialog(const QString &why);
    Outcome endLauncher(int status);
    // The way out once the launcher no longer runs (Exit, a quit answered):
    // the programs stopped, the update run when it was agreed to.
    void finishLoop();

    RunTimeErrors m_errors;
    LibraryJobs m_library;
    FindingsHandler m_findings;
    // Hands the library jobs over and takes a notification between passes.
    NotificationWake m_wake;

public:
    // When the loop wakes, and the seconds of its ticks.
    LoopTimer loop;
    TrayMenu menu;
};

} // namespace kv
