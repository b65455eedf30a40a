#include "launcher/vbMain.h"

#include "station/vbDatabase.h"
#include "core/helpers.h"
#include "escpos/vbEscpos.h"
#include "programs/vbKill.h"
#include "programs/vbOtherInstance.h"

#include <optional>

namespace kv {

namespace {

// A copy started to replace an older one gives it this long to end of its
// own before ending it.
constexpr int kOlderInstanceWaitMs = 4000;

} // namespace

const QStringList &Launcher::channels()
{
    static const QStringList names{QStringLiteral("shutdown"), QStringLiteral("poscommands"),
                                   QStringLiteral("test"), QStringLiteral("launcherlistentest")};
    return names;
}

Launcher::Launcher(const LauncherParts &parts, QObject *parent)
    : QObject(parent),
      m_boxes(parts.prompter, parts.log),
      m_parts(parts),
      state(parts, m_boxes.prompter),
      m_errors(parts.log, parts.watchdog, state.shellConf, m_boxes),
      m_library(parts.draldb, state.libraryConnection, parts.spooler, parts.clock, parts.libraryWorker),
      m_findings(state, m_library, m_boxes, m_errors, parts.log),
      m_wake(m_library, {[this] { return !state.ended && state.launcherRunning && state.escPosEnabled; },
                         [this] { return loop.inPass(); }, [this] { return state.shellConf.esc_printer; }, channels(),
                         [this](bool busy) {
                             m_boxes.prompter.setBusyCursor(busy);
                             // A job started or ended: its findings want the next tick.
                             loop.planWake();
                         }}),
      loop(state, m_library, m_boxes.questions, parts.watchdog, parts.clock,
           {[this] { runPass(true); }, [this] { finishLoop(); }}),
      menu(state, m_boxes, m_errors, parts, loop)
{
}

Outcome Launcher::endLauncher(int status)
{
    loop.stop();
    m_wake.stop();
    if (!state.ended) {
        state.ended = true;
        state.exitStatus = status;
        emit launcherEnded(status);
    }
    return Outcome::LauncherEnds;
}

Outcome Launcher::openSettingsDialog(const QString &why)
{
    m_parts.log.notice(why + QStringLiteral(": the settings dialog opens"));
    if (!state.windows.settingsDialog)
        return endLauncher(0);
    state.windows.settingsDialog->showDialog();
    return Outcome::Continue;
}

SettingsDialog::Hooks Launcher::settingsDialogHooks()
{
    SettingsDialog::Hooks hooks;
    hooks.runMain = [this] {
        if (!state.launcherRunning && !state.ended)
            Main();
    };
    hooks.launcherRunning = [this] { return state.launcherRunning; };
    hooks.logEvent = [this](const QString &event) { m_parts.log.notice(event); };
    hooks.closedWithoutChoice = [this] {
        // Closing the dialog that start-up waits on leaves nothing to wait
        // for; closing the one the tray opened leaves the launcher running.
        if (!state.launcherRunning && !state.ended)
            endLauncher(0);
    };
    return hooks;
}

Outcome Launcher::Main()
{
    if (state.ended)
        return Outcome::LauncherEnds;
    Outcome outcome = Outcome::Continue;
    if (m_errors.reporting([&] { outcome = startUp(); }))
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
    state.escPosEnabled = false;
    state.launcherRunning = false;
    if (state.windows.settingsDialog)
        state.windows.settingsDialog->unloadDialog();
    // This copy replaces an older one.
    if (m_parts.previousInstance) {
        m_parts.clock.sleepMs(kOlderInstanceWaitMs);
        const int other = vbOtherInstance::findOtherInstance(m_parts.processes);
        if (other >= 1)
            vbKill::terminateProcessById(m_parts.processes, other);
    }
    const QString conf = m_parts.ctx.appPath() + QStringLiteral("shell.conf");
    if (!fileExists(conf)
        && config::importFrontEndConfig(conf, m_parts.ctx, m_boxes.prompter) == Outcome::LauncherEnds)
        return endLauncher(1);
    state.shellConf = config::readShellConfig(conf, m_parts.ctx, &m_parts.log);
    LauncherSettings &settings = state.shellConf;
    if (settings.db_host.isEmpty() || settings.db_name.isEmpty() || settings.db_username.isEmpty())
        return openSettingsDialog(QStringLiteral("shell.conf lacks the database server, name or user"));
    {
        SchemaWait wait(m_parts.database, m_parts.libraryWorker, m_parts.clock, state.windows.waitingWindow,
                        m_boxes.prompter, m_parts.log, [this] { return state.ended; });
        const bool usable = wait.waitForUsableDatabase(settings);
        if (state.ended)
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
    if (settings.esc_printer.isEmpty()) {
        if (escpos::getPrinterList(m_parts.spooler).size() - 1 > 0) {
            if (m_boxes.ask(QStringLiteral(
                                "If you have a receipt Esc/Pos printer, would you like to configure it now?\r\n"
                                "(Must be a specialised receipt printer. Just click on Launcher Settings in "
                                "the system tray to do this at a later date.)"),
                            MsgButtons::YesNo, 2, MsgIcon::None)
                == MsgResult::Yes)
                return openSettingsDialog(QStringLiteral("a receipt printer is to be set up"));
        }
        settings.esc_printer = none;
    } else if (settings.esc_printer != none && !escpos::printerExists(m_parts.spooler, settings.esc_printer)) {
        if (m_boxes.ask(QStringLiteral("Configured printer does not exist on this machine. Would you like to set up a "
                                       "different printer?"),
                        MsgButtons::YesNo, 1, MsgIcon::None)
            == MsgResult::Yes)
            return openSettingsDialog(QStringLiteral("the printer \"%1\" is not installed").arg(settings.esc_printer));
        settings.esc_printer = none;
    } else if (settings.esc_printer != none) {
        state.escPosEnabled = true;
    }
    if (m_parts.database.setupStation(settings, conf, m_boxes.prompter) == Outcome::LauncherEnds)
        return endLauncher(1);
    if (state.escPosEnabled) {
        state.libraryConnection =
            m_parts.draldb.system_init(m_parts.ctx.appPath() + QStringLiteral("dralfrontend.exe"));
        if (state.libraryConnection == 0) {
            m_boxes.tell(QStringLiteral("ESC/POS database connection failed, running with ESC/POS disabled."),
                         MsgIcon::Exclamation);
            state.escPosEnabled = false;
        } else {
            for (const QString &channel : channels())
                m_parts.draldb.VB_notify_listen(state.libraryConnection, channel);
            // Rows queued while no launcher listened were notified to nobody.
            m_library.requestStartUpPass();
        }
    }
    if (m_parts.database.loadManagedPrograms(state.managedPrograms, settings) == Outcome::LauncherEnds)
        return endLauncher(1);
    // An OPOS driver would fight the launcher for the printer.
    if (state.escPosEnabled) {
        auto &list = state.managedPrograms.managedPrograms;
        for (std::size_t i = 1; i < list.size(); ++i) {
            const bool running = list[i].process && list[i].process->pReady;
            if (list[i].executable.contains(QLatin1String("opos")) && (running || list[i].runOnStart)) {
                m_boxes.tell(QStringLiteral("EscPos and OPos cannot both be enabled at the same time. Disable one of "
                                            "these before using the Korvantis POS system."),
                             MsgIcon::Critical);
                break;
            }
        }
    }
    state.launcherRunning = true;
    m_parts.log.info(QStringLiteral("launcher running: station %1, %2")
                         .arg(settings.stationid,
                              state.escPosEnabled
                                  ? QStringLiteral("receipts on printer \"%1\"").arg(settings.esc_printer)
                                  : QStringLiteral("receipt printing off")));
    if (state.windows.tray)
        state.windows.tray->addTrayIcon();
    state.windows.setExitAvailable(true);
    state.frontEndClosed = false;
    state.updateOnExit = false;
    m_parts.watchdog.testDatabaseConnection(settings);
    loop.start();
    m_wake.arm();
    return Outcome::Continue;
}

void Launcher::runPass(bool fromTimer)
{
    // An event loop run inside the tick (a layer's wait, a box of a window)
    // must not start a second pass.
    if (loop.inPass() || state.ended)
        return;
    const bool tick = loop.passBegins(fromTimer);
    try {
        mainTick(tick);
        if (tick && !state.ended && loop.cadence.countRelisten()) {
            // The server forgets listens over a lost connection, and what was
            // notified while it was down never comes: the next library job
            // listens again and looks for receipts that were queued meanwhile.
            if (state.escPosEnabled && state.libraryConnection != 0)
                m_wake.relistenDue();
        }
    } catch (...) {
        m_errors.swallow("a pass of the main loop");
    }
    loop.passEnds();
    m_wake.wake();
}

// A run-time error ends the tick without a word to the person.
void Launcher::mainTick(bool tick)
try {
    auto &list = state.managedPrograms.managedPrograms;
    if (list.empty())
        return;
    // A check handed over by an earlier pass.
    m_parts.watchdog.applyDatabaseTest();
    // Periodic checks, on the ticks alone.
    const LoopCadence::Look look = tick ? loop.cadence.countTick() : LoopCadence::Look::None;
    if (look == LoopCadence::Look::Check) {
        // The check carries the till's status row.
        if (state.windows.status)
            state.windows.status->checkDue();
        m_parts.watchdog.testDatabaseConnection(state.shellConf);
        const int other = vbOtherInstance::findOtherInstance(m_parts.processes);
        if (other >= 1) {
            // Someone started the launcher again: they want the front-end.
            if (!state.managedPrograms.runnerOf(list.at(0)).pReady) {
                state.managedPrograms.reopenFrontEnd();
                state.windows.setExitAvailable(false);
                state.frontEndClosed = false;
            }
            vbKill::terminateProcessById(m_parts.processes, other);
        }
    } else if (look == LoopCadence::Look::Probe) {
        // Between two checks: a server that stops answering is told to the
        // cashier long before the next check would notice.
        m_parts.watchdog.probeDatabaseConnection(state.shellConf);
    }
    // The front-end's end, asked about once; the answer is acted on here by
    // the tick that finds it given.
    if (!state.frontEndClosed && !m_boxes.questions.waiting(OpenQuestions::Step::FrontEndEnd) &&
        state.managedPrograms.frontEndFinished()) {
        if (fileExists(m_parts.ctx.appPath() + QStringLiteral("doupdate")))
            menu.askUpdateNow();
        else
            menu.askQuitAll();
    }
    if (!m_boxes.questions.actOnAnswers(OpenQuestions::Step::FrontEndEnd))
        return;
    state.managedPrograms.superviseManagedPrograms();
    if (state.windows.status)
        state.windows.status->afterSupervision(state.shellConf, state.managedPrograms.managedPrograms,
                                               state.escPosEnabled, loop.cadence.checkComesNext());
    // The jobs that take notifications may wait on the database or the
    // printer, so they run on the library worker, and the tick after them
    // acts on what they found, in order: a "shutdown" asks its question then,
    // and a pass's outcome is told. While one runs, the library keeps what
    // arrives queued.
    if (!m_findings.actOnFindings())
        return;
    // The shutdown question's answer, whenever it came; a job that runs
    // meanwhile does not hold it back.
    m_boxes.questions.actOnAnswers(OpenQuestions::Step::Notification);
    // The quit chosen in this tick ends the loop before a later tick could
    // act on another job.
    if (!state.escPosEnabled || m_library.busy() || !state.launcherRunning)
        return;
    m_wake.handOver();
} catch (...) {
    m_errors.swallow("the tick");
}

namespace {

// Unsaved program edits get their last try; `mayAsk`: the person may be told.
void saveProgramEdits(LauncherWindows &windows, EventLog &log, bool mayAsk)
{
    if (windows.programManager) {
        if (const QString lost = windows.programManager->saveBeforeQuit(mayAsk); !lost.isEmpty())
            log.error(lost);
    }
}

} // namespace

void Launcher::finishLoop()
{
    if (state.ended || state.leaving)
        return;
    state.leaving = true;
    m_parts.log.info(state.updateOnExit ? QStringLiteral("launcher quits and runs the update")
                                        : QStringLiteral("launcher quits"));
    loop.stop();
    state.launcherRunning = false;
    state.managedPrograms.stopManagedPrograms();
    const auto leave = [this] {
        saveProgramEdits(state.windows, m_parts.log, true);
        // The system may have ended the launcher while the person read that.
        if (state.ended)
            return;
        if (state.updateOnExit)
            m_errors.reporting([this] { m_parts.update.runUpdate(); });
        endLauncher(0);
    };
    // The office sees a till closed on purpose as stopped, not down. The
    // window thread does not wait for the write: the way out goes on when it
    // is done, or after its bound.
    if (state.windows.status)
        state.windows.status->writeStopped(state.shellConf, state.managedPrograms.managedPrograms, state.escPosEnabled,
                                           state.updateOnExit ? QStringLiteral("update") : QStringLiteral("exit"),
                                           leave);
    else
        leave();
}

void Launcher::terminate()
{
    // A way out already begun ends within its last write's bound.
    if (state.ended || state.leaving)
        return;
    state.leaving = true;
    m_parts.log.info(QStringLiteral("launcher ends: asked to by the system"));
    const bool running = state.launcherRunning;
    if (running)
        state.windows.removeTrayIcon();
    state.launcherRunning = false;
    loop.stop();
    if (running)
        state.managedPrograms.stopManagedPrograms();
    const auto leave = [this] {
        saveProgramEdits(state.windows, m_parts.log, false);
        endLauncher(0);
    };
    // A shutdown of the till: bounded, well inside the system's patience.
    if (running && state.windows.status)
        state.windows.status->writeStopped(state.shellConf, state.managedPrograms.managedPrograms, state.escPosEnabled,
                                           QStringLiteral("exit"), leave);
    else
        leave();
}

} // namespace kv
