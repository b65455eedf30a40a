#include "launcher/vbMain.h"

#include "launcher/passlog.h"
#include "launcher/runtimeerror.h"

#include "station/odbc.h"
#include "station/vbDatabase.h"
#include "core/helpers.h"
#include "programs/vbKill.h"
#include "programs/vbOtherInstance.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <new>
#include <system_error>
#include <utility>

namespace kv {

const QStringList &Launcher::channels()
{
    static const QStringList names{QStringLiteral("shutdown"), QStringLiteral("poscommands"),
                                   QStringLiteral("test"), QStringLiteral("launcherlistentest")};
    return names;
}

Launcher::Launcher(const LauncherParts &parts, QObject *parent)
    : QObject(parent),
      m_boxes(parts.prompter, parts.log),
      managedPrograms(parts.ctx, m_boxes.prompter, parts.clock, shellConf, parts.log, parts.spawner, parts.processes),
      m_parts(parts),
      m_library(parts.draldb, libraryConnection, parts.spooler, parts.clock, parts.libraryWorker),
      m_findingsLog(parts.log),
      m_wake(m_library, {[this] { return !m_ended && launcherRunning && escPosEnabled; }, [this] { return m_inPass; },
                         [this] { return shellConf.esc_printer; }, channels(),
                         [this](bool busy) {
                             m_boxes.prompter.setBusyCursor(busy);
                             // A job started or ended: its findings want the next tick.
                             planWake();
                         }}),
      m_programWatch([this] { planWake(); })
{
    m_passTimer.setSingleShot(true);
    // The loop wakes at the very time something is due; a coarse timer may
    // come early and cost another wake.
    m_passTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_passTimer, &QTimer::timeout, this, &Launcher::onPassTimer);
    // A program started or stopped by hand is waited on from then on.
    managedPrograms.setRunsChanged([this] {
        if (!m_inPass)
            scheduleNext();
    });
}

QString Launcher::confPath() const
{
    return m_parts.ctx.appPath() + QStringLiteral("shell.conf");
}

void Launcher::swallowRunTimeError(const char *where)
{
    const std::optional<RunTimeError> error = runTimeErrorOf(std::current_exception());
    m_parts.log.error(QStringLiteral("run-time error in %1, the database connection is checked: %2")
                          .arg(QLatin1String(where), error ? error->description : QStringLiteral("unknown")));
    m_parts.watchdog.testDatabaseConnection(shellConf);
}

Outcome Launcher::endLauncher(int status)
{
    m_passTimer.stop();
    m_programWatch.clear();
    m_wake.stop();
    if (!m_ended) {
        m_ended = true;
        m_exitStatus = status;
        emit launcherEnded(status);
    }
    return Outcome::LauncherEnds;
}

Outcome Launcher::openSettingsDialog(const QString &why)
{
    m_parts.log.notice(why + QStringLiteral(": the settings dialog opens"));
    if (!windows.settingsDialog)
        return endLauncher(0);
    windows.settingsDialog->showDialog();
    return Outcome::Continue;
}

bool Launcher::reportingErrors(const std::function<void()> &step)
{
    try {
        step();
        return true;
    } catch (...) {
        const std::optional<RunTimeError> error = runTimeErrorOf(std::current_exception());
        if (!error)
            throw;
        // Waits: in start-up the launcher ends after it, and a menu
        // command's box runs the loop's passes in its own event loop.
        m_boxes.ask(runTimeErrorText(*error), MsgButtons::OK, 1, MsgIcon::Critical);
    }
    return false;
}

Outcome Launcher::Main()
{
    if (m_ended)
        return Outcome::LauncherEnds;
    Outcome outcome = Outcome::Continue;
    if (reportingErrors([&] { outcome = startUp(); }))
        return outcome;
    return endLauncher(1);
}

Outcome Launcher::startUp()
{
    // Whichever way start-up ends, what its steps kept open is closed.
    struct EndOfStartUp {
        StartupDatabase &database;
        ~EndOfStartUp() { database.endOfStartUp(); }
    } endOfStartUp{m_parts.database};
    escPosEnabled = false;
    launcherRunning = false;
    if (windows.settingsDialog)
        windows.settingsDialog->unloadDialog();
    // This copy replaces an older one.
    if (m_parts.previousInstance) {
        m_parts.clock.sleepMs(kOlderInstanceWaitMs);
        const int other = vbOtherInstance::findOtherInstance(m_parts.processes);
        if (other >= 1)
            vbKill::terminateProcessById(m_parts.processes, other);
    }
    const QString conf = confPath();
    if (!fileExists(conf)
        && config::importFrontEndConfig(conf, m_parts.ctx, m_boxes.prompter) == Outcome::LauncherEnds)
        return endLauncher(1);
    shellConf = config::readShellConfig(conf, m_parts.ctx, &m_parts.log);
    if (shellConf.db_host.isEmpty() || shellConf.db_name.isEmpty() || shellConf.db_username.isEmpty())
        return openSettingsDialog(QStringLiteral("shell.conf lacks the database server, name or user"));
    {
        SchemaWait wait(m_parts.database, m_parts.libraryWorker, m_parts.clock, windows.waitingWindow, m_boxes.prompter,
                        m_parts.log, [this] { return m_ended; });
        const bool usable = wait.waitForUsableDatabase(shellConf);
        if (m_ended)
            return Outcome::LauncherEnds;
        if (!usable)
            return openSettingsDialog(QStringLiteral("the database cannot be used"));
    }
    if (m_parts.update.runUpdate() == Outcome::LauncherEnds)
        return endLauncher(0);
    m_parts.watchdog.setDbConnectionUp(true);
    // The printer questions wait for their answer: Yes leaves start-up for
    // the settings dialog, and nothing of the till runs before it yet.
    // "none" is set in memory only, so the file still says what was chosen.
    const QString none = QStringLiteral("none");
    if (shellConf.esc_printer.isEmpty()) {
        if (escpos::getPrinterList(m_parts.spooler).size() - 1 > 0) {
            if (m_boxes.ask(QStringLiteral("If you have a receipt Esc/Pos printer, would you like to configure it now?\r\n"
                                   "(Must be a specialised receipt printer. Just click on Launcher Settings in "
                                   "the system tray to do this at a later date.)"),
                    MsgButtons::YesNo, 2, MsgIcon::None)
                == MsgResult::Yes)
                return openSettingsDialog(QStringLiteral("a receipt printer is to be set up"));
        }
        shellConf.esc_printer = none;
    } else if (shellConf.esc_printer != none && !escpos::printerExists(m_parts.spooler, shellConf.esc_printer)) {
        if (m_boxes.ask(QStringLiteral("Configured printer does not exist on this machine. Would you like to set up a "
                               "different printer?"),
                MsgButtons::YesNo, 1, MsgIcon::None)
            == MsgResult::Yes)
            return openSettingsDialog(QStringLiteral("the printer \"%1\" is not installed").arg(shellConf.esc_printer));
        shellConf.esc_printer = none;
    } else if (shellConf.esc_printer != none) {
        escPosEnabled = true;
    }
    if (m_parts.database.setupStation(shellConf, conf, m_boxes.prompter) == Outcome::LauncherEnds)
        return endLauncher(1);
    if (escPosEnabled) {
        libraryConnection = m_parts.draldb.system_init(m_parts.ctx.appPath() + QStringLiteral("dralfrontend.exe"));
        if (libraryConnection == 0) {
            m_boxes.tell(QStringLiteral("ESC/POS database connection failed, running with ESC/POS disabled."),
                 MsgIcon::Exclamation);
            escPosEnabled = false;
        } else {
            listenAll();
            // Rows queued while no launcher listened were notified to nobody.
            m_library.requestStartUpPass();
        }
    }
    if (m_parts.database.loadManagedPrograms(managedPrograms, shellConf) == Outcome::LauncherEnds)
        return endLauncher(1);
    // An OPOS driver would fight the launcher for the printer.
    if (escPosEnabled) {
        auto &list = managedPrograms.managedPrograms;
        for (std::size_t i = 1; i < list.size(); ++i) {
            const bool running = list[i].process && list[i].process->pReady;
            if (list[i].executable.contains(QLatin1String("opos")) && (running || list[i].runOnStart)) {
                m_boxes.tell(QStringLiteral("EscPos and OPos cannot both be enabled at the same time. Disable one of these "
                                    "before using the Korvantis POS system."),
                     MsgIcon::Critical);
                break;
            }
        }
    }
    launcherRunning = true;
    m_parts.log.info(QStringLiteral("launcher running: station %1, %2")
                         .arg(shellConf.stationid,
                              escPosEnabled ? QStringLiteral("receipts on printer \"%1\"").arg(shellConf.esc_printer)
                                            : QStringLiteral("receipt printing off")));
    if (windows.tray)
        windows.tray->addTrayIcon();
    windows.setExitAvailable(true);
    frontEndClosed = false;
    updateOnExit = false;
    m_parts.watchdog.testDatabaseConnection(shellConf);
    m_cadence.start(m_parts.clock.monotonicMs());
    scheduleNext();
    m_wake.arm();
    return Outcome::Continue;
}

void Launcher::listenAll()
{
    for (const QString &channel : channels())
        m_parts.draldb.VB_notify_listen(libraryConnection, channel);
}

void Launcher::onPassTimer()
{
    if (m_inPass || m_ended)
        return;
    if (!launcherRunning) {
        finishLoop();
        return;
    }
    passOf(true);
    if (m_ended)
        return;
    if (launcherRunning)
        scheduleNext();
    else
        finishLoop();
}

bool Launcher::wantsNextTick() const
{
    return m_programWatch.polled() || m_parts.watchdog.lookPending() ||
           m_boxes.questions.waiting(OpenQuestions::Step::FrontEndEnd) ||
           m_boxes.questions.waiting(OpenQuestions::Step::Notification) || (escPosEnabled && m_library.wantsNextTick());
}

void Launcher::scheduleNext()
{
    if (m_ended || !launcherRunning)
        return;
    m_programWatch.follow(managedPrograms.managedPrograms);
    planWake();
}

void Launcher::planWake()
{
    // Inside a pass: its end plans the next.
    if (m_ended || !launcherRunning || m_inPass)
        return;
    qint64 due = m_cadence.nextDueTickMs(wantsNextTick(), escPosEnabled && libraryConnection != 0);
    const auto wakeAt = [&](qint64 at) { due = std::min(due, m_cadence.wakeFor(at)); };
    if (const std::optional<qint64> restart = managedPrograms.nextRestartDueMs())
        wakeAt(*restart);
    if (escPosEnabled && !m_library.busy()) {
        if (const std::optional<qint64> retry = m_library.retryDueMs())
            wakeAt(*retry);
    }
    if (escPosEnabled && windows.status)
        wakeAt(windows.status->printerLookDueMs());
    // Output comes to the viewer within a second, and a program that writes
    // without pause is read once a second, as before.
    if (m_programWatch.woke())
        wakeAt(m_cadence.lastPassMs() + LoopCadence::kPassIntervalMs);
    const qint64 now = m_parts.clock.monotonicMs();
    m_wakeAtMs = std::max(due, now);
    m_passTimer.start(
        int(std::min<qint64>(m_wakeAtMs - now, LoopCadence::kPeriodicCheckTick * LoopCadence::kPassIntervalMs)));
}

void Launcher::runPass()
{
    passOf(false);
}

void Launcher::passOf(bool fromTimer)
{
    // An event loop run inside the tick (a layer's wait, a box of a window)
    // must not start a second pass.
    if (m_inPass || m_ended)
        return;
    const qint64 now = m_parts.clock.monotonicMs();
    bool tick = true;
    if (fromTimer)
        tick = m_cadence.passBegins(now);
    else
        m_cadence.tickBegins(now);
    m_inPass = true;
    m_programWatch.passBegins();
    try {
        if (tick) {
            mainTick();
        } else {
            try {
                tickBody(false);
            } catch (...) {
                swallowRunTimeError("the tick");
            }
        }
        if (tick && !m_ended && m_cadence.countRelisten()) {
            // The server forgets listens over a lost connection, and what was
            // notified while it was down never comes: the next library job
            // listens again and looks for receipts that were queued meanwhile.
            if (escPosEnabled && libraryConnection != 0)
                m_wake.relistenDue();
        }
    } catch (...) {
        swallowRunTimeError("a pass of the main loop");
    }
    m_inPass = false;
    m_wake.wake();
}

void Launcher::mainTick()
{
    try {
        tickBody(true);
    } catch (...) {
        swallowRunTimeError("the tick");
    }
}

void Launcher::quitLauncher()
{
    windows.removeTrayIcon();
    launcherRunning = false;
}

void Launcher::keepLauncherWithoutFrontEnd()
{
    windows.setExitAvailable(true);
    managedPrograms.runnerOf(managedPrograms.managedPrograms.at(0)).pReady = false;
    frontEndClosed = true;
}

void Launcher::tickBody(bool tick)
{
    auto &list = managedPrograms.managedPrograms;
    if (list.empty())
        return;
    // A check handed over by an earlier pass.
    m_parts.watchdog.applyDatabaseTest();
    // Periodic checks, on the ticks alone.
    const LoopCadence::Look look = tick ? m_cadence.countTick() : LoopCadence::Look::None;
    if (look == LoopCadence::Look::Check) {
        // The check carries the till's status row.
        if (windows.status)
            windows.status->checkDue();
        m_parts.watchdog.testDatabaseConnection(shellConf);
        const int other = vbOtherInstance::findOtherInstance(m_parts.processes);
        if (other >= 1) {
            // Someone started the launcher again: they want the front-end.
            if (!managedPrograms.runnerOf(list.at(0)).pReady) {
                managedPrograms.reopenFrontEnd();
                windows.setExitAvailable(false);
                frontEndClosed = false;
            }
            vbKill::terminateProcessById(m_parts.processes, other);
        }
    } else if (look == LoopCadence::Look::Probe) {
        // Between two checks: a server that stops answering is told to the
        // cashier long before the next check would notice.
        m_parts.watchdog.probeDatabaseConnection(shellConf);
    }
    // The front-end's end, asked about once; the answer is acted on here by
    // the tick that finds it given.
    if (!frontEndClosed && !m_boxes.questions.waiting(OpenQuestions::Step::FrontEndEnd) &&
        managedPrograms.frontEndFinished()) {
        if (fileExists(m_parts.ctx.appPath() + QStringLiteral("doupdate")))
            askUpdateNow();
        else
            askQuitAll();
    }
    if (!m_boxes.questions.actOnAnswers(OpenQuestions::Step::FrontEndEnd))
        return;
    managedPrograms.superviseManagedPrograms();
    if (windows.status)
        windows.status->afterSupervision(shellConf, managedPrograms.managedPrograms, escPosEnabled,
                                   m_cadence.checkComesNext());
    notificationStep();
}

void Launcher::askUpdateNow()
{
    m_boxes.askLater(QStringLiteral("Do the update now and restart Korvantis?"), MsgIcon::None,
             OpenQuestions::Step::FrontEndEnd, [this](MsgResult answer) {
                 if (answer != MsgResult::Yes) {
                     askQuitAll();
                     return true;
                 }
                 updateOnExit = true;
                 quitLauncher();
                 return false;
             });
}

void Launcher::askQuitAll()
{
    m_boxes.askLater(QStringLiteral("Do you wish to quit all Korvantis programs? (ie. Card Reader)"), MsgIcon::Question,
             OpenQuestions::Step::FrontEndEnd, [this](MsgResult answer) {
                 if (answer == MsgResult::Yes)
                     quitLauncher();
                 else
                     keepLauncherWithoutFrontEnd();
                 return true;
             });
}

void Launcher::notificationStep()
{
    // The jobs that take notifications may wait on the database or the
    // printer, so they run on the library worker, and the tick after them
    // acts on what they found, in order: a "shutdown" asks its question then,
    // and a pass's outcome is told. While one runs, the library keeps what
    // arrives queued.
    if (escPosEnabled && !m_library.busy()) {
        while (std::optional<LibraryFindings> found = m_library.takeFindings()) {
            if (!actOnFindings(*found) || m_ended)
                return;
        }
    }
    // The shutdown question's answer, whenever it came; a job that runs
    // meanwhile does not hold it back.
    m_boxes.questions.actOnAnswers(OpenQuestions::Step::Notification);
    // The quit chosen in this tick ends the loop before a later tick could
    // act on another job.
    if (!escPosEnabled || m_library.busy() || !launcherRunning)
        return;
    m_wake.handOver();
}

bool Launcher::actOnFindings(const LibraryFindings &found)
{
    if (found.error) {
        // A run-time error of the job is the tick's.
        try {
            std::rethrow_exception(found.error);
        } catch (...) {
            swallowRunTimeError("the client library's work");
        }
        return false;
    }
    m_findingsLog.write(found);
    if (found.pass) {
        // The default printer's name, when the pass was given none.
        if (shellConf.esc_printer.isEmpty())
            shellConf.esc_printer = found.pass->printerName;
        // Told for the pass a notification asked for, whose receipt the
        // cashier waits for; the retries are the launcher's own business. The
        // box does not hold the loop: retries, checks and supervision go on
        // behind it.
        if (!found.pass->printerOpened && found.pass->queryRan && found.cause == PassCause::Notification)
            m_boxes.tell(QStringLiteral("Could not connect to the printer."), MsgIcon::Critical);
    }
    // Another "shutdown" while the question waits raises it: one answer.
    if (found.notifications.contains(QStringLiteral("shutdown")))
        m_boxes.askLater(QStringLiteral("Do you want to keep all supporting programs open?"), MsgIcon::Question,
                 OpenQuestions::Step::Notification, [this](MsgResult answer) {
                     if (answer == MsgResult::No)
                         quitLauncher();
                     else
                         keepLauncherWithoutFrontEnd();
                     return true;
                 });
    return true;
}

void Launcher::logUnsaved(const QString &lost)
{
    if (!lost.isEmpty())
        m_parts.log.error(lost);
}

void Launcher::finishLoop()
{
    if (m_ended)
        return;
    m_parts.log.info(updateOnExit ? QStringLiteral("launcher quits and runs the update")
                                  : QStringLiteral("launcher quits"));
    m_passTimer.stop();
    launcherRunning = false;
    managedPrograms.stopManagedPrograms();
    // The office sees a till closed on purpose as stopped, not down.
    if (windows.status)
        windows.status->writeStopped(shellConf, managedPrograms.managedPrograms, escPosEnabled,
                               updateOnExit ? QStringLiteral("update") : QStringLiteral("exit"));
    if (windows.programManager)
        logUnsaved(windows.programManager->saveBeforeQuit(true));
    // The system may have ended the launcher while the person read that.
    if (m_ended)
        return;
    if (updateOnExit)
        reportingErrors([this] { m_parts.update.runUpdate(); });
    endLauncher(0);
}

void Launcher::terminate()
{
    if (m_ended)
        return;
    m_parts.log.info(QStringLiteral("launcher ends: asked to by the system"));
    const bool running = launcherRunning;
    if (running)
        windows.removeTrayIcon();
    launcherRunning = false;
    m_passTimer.stop();
    if (running)
        managedPrograms.stopManagedPrograms();
    // A shutdown of the till: bounded, well inside the system's patience.
    if (running && windows.status)
        windows.status->writeStopped(shellConf, managedPrograms.managedPrograms, escPosEnabled, QStringLiteral("exit"));
    if (windows.programManager)
        logUnsaved(windows.programManager->saveBeforeQuit(false));
    endLauncher(0);
}

} // namespace kv
