#include "launcher/vbMain.h"

#include "config/odbc.h"
#include "config/vbDatabase.h"
#include "core/helpers.h"
#include "programs/vbKill.h"
#include "programs/vbOtherInstance.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>

namespace kv {

namespace {

const QString kTitle = QStringLiteral("Korvantis Launcher");

// Run-time error numbers for failures that carry none of their own.
constexpr int kOutOfMemory = 7;
constexpr int kInvalidCall = 5;

// Start-up's waits for the database are cut into slices this long, so that
// the waiting window repaints and a request to end is heard in between.
constexpr int kWaitSliceMs = 100;

QString causeOf(PassCause cause)
{
    switch (cause) {
    case PassCause::Notification: return QStringLiteral("notified");
    case PassCause::StartUp: return QStringLiteral("at start-up");
    case PassCause::Reconnect: return QStringLiteral("after the client library reconnected");
    case PassCause::Retry: return QStringLiteral("retried");
    case PassCause::Relisten: return QStringLiteral("after listening again");
    }
    return QString();
}

// One line per pass: what it read, printed and deleted, and why rows stay.
QString passLogLine(const PosPassReport &pass, PassCause cause)
{
    QString line = QStringLiteral("POS pass (%1): %2 rows read, %3 receipts, %4 drawer pulses")
                       .arg(causeOf(cause))
                       .arg(pass.rowsRead)
                       .arg(pass.receipts)
                       .arg(pass.drawerPulses);
    if (pass.alreadyPrinted > 0)
        line += QStringLiteral(", %1 printed before").arg(pass.alreadyPrinted);
    line += pass.jobAccepted ? QStringLiteral(", job taken by \"%1\"").arg(pass.printerName)
                             : QStringLiteral(", no job taken");
    if (pass.earlierJobFate) {
        switch (*pass.earlierJobFate) {
        case platform::JobFate::Taken: line += QStringLiteral(", an earlier unanswered job had printed"); break;
        case platform::JobFate::NotTaken: line += QStringLiteral(", an earlier unanswered job had not printed"); break;
        case platform::JobFate::Unknown: line += QStringLiteral(", an earlier unanswered job is still unanswered"); break;
        }
    }
    if (pass.jobFateUnknown)
        line += QStringLiteral(", job \"%1\" unanswered").arg(pass.jobName);
    if (pass.rowsAwaitingPaper > 0)
        line += QStringLiteral(", %1 rows kept until their job is printed").arg(pass.rowsAwaitingPaper);
    line += QStringLiteral(", %1 rows deleted, %2 ms").arg(pass.rowsDeleted).arg(pass.elapsedMs);
    if (!pass.printerSays.isEmpty())
        line += QStringLiteral("; the printer \"%1\" reports: %2, receipts wait at the print server")
                    .arg(pass.printerName, pass.printerSays.join(QStringLiteral(", ")));
    if (!pass.failure.isEmpty())
        line += (pass.rowsLeftQueued ? QStringLiteral("; rows stay queued: ") : QStringLiteral("; ")) + pass.failure;
    return line;
}

} // namespace

database::SchemaLook OdbcStartupDatabase::lookAtSchema(const LauncherSettings &settings)
{
    return database::lookAtSchema(settings);
}

Outcome OdbcStartupDatabase::setupStation(LauncherSettings &settings, const QString &confPath, Prompter &prompter)
{
    return database::setupStation(settings, confPath, m_ctx, prompter);
}

Outcome OdbcStartupDatabase::loadManagedPrograms(ManagedPrograms &programs, const LauncherSettings &settings)
{
    return programs.loadManagedPrograms(settings);
}

const QStringList &Launcher::channels()
{
    static const QStringList names{QStringLiteral("shutdown"), QStringLiteral("poscommands"),
                                   QStringLiteral("test"), QStringLiteral("launcherlistentest")};
    return names;
}

// The pass runs on the library worker; the hourglass is the window thread's.
// The worker may outlive the launcher by a job, so it asks through this.
struct Launcher::BusyRelay {
    std::mutex lock;
    Launcher *launcher = nullptr;
};

Launcher::Launcher(const LauncherParts &parts, QObject *parent)
    : QObject(parent),
      m_prompter(parts.prompter, parts.log),
      managedPrograms(parts.ctx, m_prompter, parts.clock, shellConf, parts.log, parts.spawner),
      m_parts(parts),
      m_journal(parts.ctx.appPath() + PrintJournal::fileName()),
      m_library(parts.draldb, libraryConnection, parts.spooler, m_journal, parts.clock, parts.libraryWorker),
      m_busyRelay(std::make_shared<BusyRelay>())
{
    m_passTimer.setSingleShot(true);
    connect(&m_passTimer, &QTimer::timeout, this, &Launcher::onPassTimer);
    m_busyRelay->launcher = this;
    m_library.setBusyHook([relay = m_busyRelay](bool busy) {
        std::lock_guard guard(relay->lock);
        if (Launcher *l = relay->launcher)
            QMetaObject::invokeMethod(
                l, [l, busy] { l->m_prompter.setBusyCursor(busy); }, Qt::QueuedConnection);
    });
}

Launcher::~Launcher()
{
    std::lock_guard guard(m_busyRelay->lock);
    m_busyRelay->launcher = nullptr;
}

QString Launcher::confPath() const
{
    return m_parts.ctx.appPath() + QStringLiteral("shell.conf");
}

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

namespace {

// Every box of the launcher: its title, above every other window.
MessageBox launcherBox(const QString &text, MsgButtons buttons, int defaultButton, MsgIcon icon)
{
    MessageBox box;
    box.text = text;
    box.title = kTitle;
    box.buttons = buttons;
    box.defaultButton = defaultButton;
    box.icon = icon;
    box.systemModal = true;
    return box;
}

} // namespace

MsgResult Launcher::ask(const QString &text, MsgButtons buttons, int defaultButton, MsgIcon icon)
{
    return m_prompter.messageBox(launcherBox(text, buttons, defaultButton, icon));
}

void Launcher::tell(const QString &text, MsgIcon icon)
{
    m_prompter.showMessage(launcherBox(text, MsgButtons::OK, 1, icon));
}

void Launcher::swallowRunTimeError(const char *where)
{
    QString what = QStringLiteral("unknown");
    try {
        throw;
    } catch (const odbc::Error &e) {
        what = e.description();
    } catch (const std::exception &e) {
        what = QString::fromLocal8Bit(e.what());
    } catch (...) {
    }
    m_parts.log.error(QStringLiteral("run-time error in %1, the database connection is checked: %2")
                          .arg(QLatin1String(where), what));
    m_parts.watchdog.testDatabaseConnection(shellConf);
}

void Launcher::reportRunTimeError(int number, const QString &description)
{
    ask(QStringLiteral("Run-time error '%1':\r\n\r\n%2").arg(number).arg(description), MsgButtons::OK, 1,
        MsgIcon::Critical);
}

Outcome Launcher::endLauncher(int status)
{
    m_passTimer.stop();
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
    if (!m_settingsDialog)
        return endLauncher(0);
    m_settingsDialog->showDialog();
    return Outcome::Continue;
}

bool Launcher::reportingErrors(const std::function<void()> &step)
{
    try {
        step();
        return true;
    } catch (const odbc::Error &e) {
        reportRunTimeError(e.number(), e.description());
    } catch (const std::system_error &e) {
        reportRunTimeError(e.code().value(), QString::fromLocal8Bit(e.what()));
    } catch (const std::bad_alloc &) {
        reportRunTimeError(kOutOfMemory, QStringLiteral("Out of memory"));
    } catch (const std::exception &e) {
        reportRunTimeError(kInvalidCall, QString::fromLocal8Bit(e.what()));
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

void Launcher::showWaiting(std::optional<WaitingShown> &waiting)
{
    if (!waiting)
        waiting.emplace(m_waitingWindow, QStringLiteral("Connecting to the database…"));
}

database::SchemaLook Launcher::lookAtSchema(std::optional<WaitingShown> &waiting)
{
    // On the library's worker, idle until the main loop runs: the window
    // keeps painting while a login hangs. The job owns its copy of the
    // settings; should the launcher end meanwhile, it leaves by _exit.
    const auto look = std::make_shared<database::SchemaLook>();
    StartupDatabase &db = m_parts.database;
    if (!m_parts.libraryWorker.start([look, &db, settings = shellConf] { *look = db.lookAtSchema(settings); }))
        return db.lookAtSchema(shellConf);
    if (!m_parts.libraryWorker.waitIdle(kQuietLookMs))
        showWaiting(waiting);
    while (!m_parts.libraryWorker.waitIdle(kWaitSliceMs) && !m_ended) {
        if (m_waitingWindow)
            m_waitingWindow->keepShown();
    }
    // Ended while the look runs: what it finds no longer matters, even when
    // it answered meanwhile (a database too old is told even by a quiet look).
    if (m_ended || m_parts.libraryWorker.busy())
        return database::SchemaLook{.error = -1, .description = {}, .version = 0};
    return *look;
}

Outcome Launcher::startUp()
{
    escPosEnabled = false;
    launcherRunning = false;
    if (m_settingsDialog)
        m_settingsDialog->unloadDialog();
    // This copy replaces an older one.
    if (m_parts.previousInstance) {
        m_parts.clock.sleepMs(kOlderInstanceWaitMs);
        const int other = vbOtherInstance::findOtherInstance(m_parts.processes);
        if (other >= 1)
            vbKill::terminateProcessById(m_parts.processes, other);
    }
    const QString conf = confPath();
    if (!fileExists(conf)
        && config::importFrontEndConfig(conf, m_parts.ctx, m_prompter) == Outcome::LauncherEnds)
        return endLauncher(1);
    shellConf = config::readShellConfig(conf, m_parts.ctx, &m_parts.log);
    if (shellConf.db_host.isEmpty() || shellConf.db_name.isEmpty() || shellConf.db_username.isEmpty())
        return openSettingsDialog(QStringLiteral("shell.conf lacks the database server, name or user"));
    // A till often starts before its server; give it time, and show what
    // start-up waits for: each check may block on the login for seconds.
    // A server that answers at once puts no window up, so a till that starts
    // normally draws no text (nor loads the fonts for it) until it is asked.
    {
        std::optional<WaitingShown> waiting;
        const auto waitShowing = [this, &waiting](int ms) {
            showWaiting(waiting);
            for (int left = ms; left > 0 && !m_ended; left -= kWaitSliceMs) {
                m_parts.clock.sleepMs(std::min(left, kWaitSliceMs));
                if (m_waitingWindow)
                    m_waitingWindow->keepShown();
            }
        };
        bool databaseUsable = false;
        for (int attempt = 0; attempt < kQuietSchemaChecks && !databaseUsable && !m_ended; ++attempt) {
            if (database::tellSchemaLook(lookAtSchema(waiting), false, m_prompter, m_parts.log) == 0)
                databaseUsable = true;
            else
                waitShowing(kSchemaRetryWaitMs);
        }
        if (!databaseUsable && !m_ended) {
            const database::SchemaLook look = lookAtSchema(waiting);
            // Told to end during the look: no box about a look cut short.
            if (!m_ended && database::tellSchemaLook(look, true, m_prompter, m_parts.log) != 0)
                return openSettingsDialog(QStringLiteral("the database cannot be used"));
        }
        if (m_ended)
            return Outcome::LauncherEnds;
    }
    if (m_parts.update.runUpdate() == Outcome::LauncherEnds)
        return endLauncher(0);
    m_parts.watchdog.setDbConnectionUp(true);
    // "none" is set in memory only, so the file still says what was chosen.
    const QString none = QStringLiteral("none");
    if (shellConf.esc_printer.isEmpty()) {
        if (escpos::getPrinterList(m_parts.spooler).size() - 1 > 0) {
            if (ask(QStringLiteral("If you have a receipt Esc/Pos printer, would you like to configure it now?\r\n"
                                   "(Must be a specialised receipt printer. Just click on Launcher Settings in "
                                   "the system tray to do this at a later date.)"),
                    MsgButtons::YesNo, 2, MsgIcon::None)
                == MsgResult::Yes)
                return openSettingsDialog(QStringLiteral("a receipt printer is to be set up"));
        }
        shellConf.esc_printer = none;
    } else if (shellConf.esc_printer != none && !escpos::printerExists(m_parts.spooler, shellConf.esc_printer)) {
        if (ask(QStringLiteral("Configured printer does not exist on this machine. Would you like to set up a "
                               "different printer?"),
                MsgButtons::YesNo, 1, MsgIcon::None)
            == MsgResult::Yes)
            return openSettingsDialog(QStringLiteral("the printer \"%1\" is not installed").arg(shellConf.esc_printer));
        shellConf.esc_printer = none;
    } else if (shellConf.esc_printer != none) {
        escPosEnabled = true;
    }
    if (m_parts.database.setupStation(shellConf, conf, m_prompter) == Outcome::LauncherEnds)
        return endLauncher(1);
    if (escPosEnabled) {
        libraryConnection = m_parts.draldb.system_init(m_parts.ctx.appPath() + QStringLiteral("dralfrontend.exe"));
        if (libraryConnection == 0) {
            ask(QStringLiteral("ESC/POS database connection failed, running with ESC/POS disabled."), MsgButtons::OK,
                1, MsgIcon::Exclamation);
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
                ask(QStringLiteral("EscPos and OPos cannot both be enabled at the same time. Disable one of these "
                                   "before using the Korvantis POS system."),
                    MsgButtons::OK, 1, MsgIcon::Critical);
                break;
            }
        }
    }
    launcherRunning = true;
    m_parts.log.info(QStringLiteral("launcher running: station %1, %2")
                         .arg(shellConf.stationid,
                              escPosEnabled ? QStringLiteral("receipts on printer \"%1\"").arg(shellConf.esc_printer)
                                            : QStringLiteral("receipt printing off")));
    if (m_tray)
        m_tray->addTrayIcon();
    setExitAvailable(true);
    frontEndClosed = false;
    updateOnExit = false;
    tickCount = 0;
    passCounter = 0;
    m_parts.watchdog.testDatabaseConnection(shellConf);
    if (!m_ended)
        m_passTimer.start(kPassIntervalMs);
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
    runPass();
    if (m_ended)
        return;
    if (launcherRunning)
        m_passTimer.start(kPassIntervalMs);
    else
        finishLoop();
}

void Launcher::runPass()
{
    // A message box inside the tick runs events; nothing there may start a
    // second pass.
    if (m_inPass || m_ended)
        return;
    m_inPass = true;
    try {
        mainTick();
        if (!m_ended && ++passCounter >= kPassesPerRelisten) {
            passCounter = 0;
            // The server forgets listens over a lost connection, and what was
            // notified while it was down never comes: the next library job
            // listens again and looks for receipts that were queued meanwhile.
            if (escPosEnabled && libraryConnection != 0)
                m_relistenDue = true;
        }
    } catch (...) {
        swallowRunTimeError("a pass of the main loop");
    }
    m_inPass = false;
}

void Launcher::mainTick()
{
    try {
        tickBody();
    } catch (...) {
        swallowRunTimeError("the tick");
    }
}

void Launcher::removeTrayIcon()
{
    if (m_tray)
        m_tray->removeTrayIcon();
}

void Launcher::setExitAvailable(bool available)
{
    if (m_tray)
        m_tray->setExitAvailable(available);
}

void Launcher::quitLauncher()
{
    removeTrayIcon();
    launcherRunning = false;
}

void Launcher::keepLauncherWithoutFrontEnd()
{
    setExitAvailable(true);
    managedPrograms.runnerOf(managedPrograms.managedPrograms.at(0)).pReady = false;
    frontEndClosed = true;
}

void Launcher::tickBody()
{
    auto &list = managedPrograms.managedPrograms;
    if (list.empty())
        return;
    // A check handed over by an earlier tick.
    m_parts.watchdog.applyDatabaseTest();
    // Periodic checks.
    if (++tickCount > kTicksPerPeriodicCheck) {
        // The check carries the till's status row.
        if (m_status)
            m_status->checkDue();
        m_parts.watchdog.testDatabaseConnection(shellConf);
        const int other = vbOtherInstance::findOtherInstance(m_parts.processes);
        if (other >= 1) {
            // Someone started the launcher again: they want the front-end.
            if (!managedPrograms.runnerOf(list.at(0)).pReady) {
                managedPrograms.reopenFrontEnd();
                setExitAvailable(false);
                frontEndClosed = false;
            }
            vbKill::terminateProcessById(m_parts.processes, other);
        }
        tickCount = 0;
    } else if (tickCount % kTicksPerProbe == 0) {
        // Between two checks: a server that stops answering is told to the
        // cashier long before the next check would notice.
        m_parts.watchdog.probeDatabaseConnection(shellConf);
    }
    // The front-end's end.
    if (!frontEndClosed && managedPrograms.frontEndFinished()) {
        if (fileExists(m_parts.ctx.appPath() + QStringLiteral("doupdate"))) {
            const MsgResult answer =
                ask(QStringLiteral("Do the update now and restart Korvantis?"), MsgButtons::YesNo, 1, MsgIcon::None);
            if (m_ended)
                return;
            if (answer == MsgResult::Yes) {
                updateOnExit = true;
                quitLauncher();
                return;
            }
        }
        const bool quit = ask(QStringLiteral("Do you wish to quit all Korvantis programs? (ie. Card Reader)"), MsgButtons::YesNo,
                              1, MsgIcon::Question)
                          == MsgResult::Yes;
        if (m_ended)
            return;
        if (quit)
            quitLauncher();
        else
            keepLauncherWithoutFrontEnd();
    }
    managedPrograms.superviseManagedPrograms();
    if (m_status)
        m_status->afterSupervision(shellConf, managedPrograms.managedPrograms, escPosEnabled);
    notificationStep();
}

void Launcher::notificationStep()
{
    // One notification per tick. The job that takes it may wait on the
    // database or the printer, so it runs on the library worker, and the
    // tick after it acts on what it found: a "shutdown" asks its question
    // then, and a pass's outcome is told. While it runs, no tick takes a
    // notification; the library keeps them queued.
    if (!escPosEnabled || m_library.busy())
        return;
    if (std::optional<LibraryFindings> found = m_library.takeFindings()) {
        if (!actOnFindings(*found) || m_ended)
            return;
    }
    // The quit chosen in this tick ends the loop before a later tick could
    // act on another job.
    if (!launcherRunning)
        return;
    const bool relisten = m_relistenDue && libraryConnection != 0;
    if (m_library.startJob(shellConf.esc_printer, relisten ? channels() : QStringList()))
        m_relistenDue = m_relistenDue && !relisten;
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
    if (found.leftovers && (found.leftovers->cancelled > 0 || !found.leftovers->failure.isEmpty()))
        m_parts.log.log(found.leftovers->failure.isEmpty() ? LogPriority::Notice : LogPriority::Warning,
                        QStringLiteral("held jobs an earlier run left half sent on \"%1\": %2 cancelled%3")
                            .arg(found.leftovers->printerName)
                            .arg(found.leftovers->cancelled)
                            .arg(found.leftovers->failure.isEmpty() ? QString()
                                                                    : QStringLiteral("; ") + found.leftovers->failure));
    if (found.pass) {
        applyPass(*found.pass, found.cause);
    } else if (found.rowsMayWait && !(*found.rowsMayWait && m_waitLogged)) {
        m_parts.log.debug(*found.rowsMayWait ? QStringLiteral("POS retry: the printer is still away")
                                             : QStringLiteral("POS retry: no rows wait any more"));
        m_waitLogged = *found.rowsMayWait;
    }
    if (found.notification == QLatin1String("shutdown")) {
        const MsgResult answer = ask(QStringLiteral("Do you want to keep all supporting programs open?"),
                                     MsgButtons::YesNo, 1, MsgIcon::Question);
        if (m_ended)
            return false;
        if (answer == MsgResult::No)
            quitLauncher();
        else
            keepLauncherWithoutFrontEnd();
    }
    return true;
}

void Launcher::applyPass(const PosPassReport &pass, PassCause cause)
{
    const bool own = cause != PassCause::Notification;
    const bool failed = !pass.failure.isEmpty();
    // Every notified pass is a sale and is logged; the launcher's own passes
    // say why rows wait once, not at every retry of a long outage.
    // A pass of its own that only found the printer still printing the last
    // job is no news.
    const bool onlyWaited = own && !failed && pass.receipts + pass.drawerPulses + pass.rowsDeleted == 0 &&
                            pass.rowsAwaitingPaper > 0;
    if (onlyWaited)
        m_parts.log.debug(passLogLine(pass, cause));
    else if (!(own && failed && m_waitLogged))
        m_parts.log.log(failed || !pass.printerSays.isEmpty() ? LogPriority::Warning : LogPriority::Info,
                        passLogLine(pass, cause));
    m_waitLogged = pass.rowsLeftQueued;
    // The default printer's name, when the pass was given none.
    if (shellConf.esc_printer.isEmpty())
        shellConf.esc_printer = pass.printerName;
    // Told for the pass a notification asked for, whose receipt the cashier
    // waits for; the retries are the launcher's own business. The box does
    // not hold the loop: retries, checks and supervision go on behind it.
    if (!pass.printerOpened && pass.queryRan && !own)
        tell(QStringLiteral("Could not connect to the printer."), MsgIcon::Critical);
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
    if (m_programManager)
        logUnsaved(m_programManager->saveBeforeQuit(true));
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
        removeTrayIcon();
    launcherRunning = false;
    m_passTimer.stop();
    if (running)
        managedPrograms.stopManagedPrograms();
    if (m_programManager)
        logUnsaved(m_programManager->saveBeforeQuit(false));
    endLauncher(0);
}

void Launcher::mnuManageClick()
{
    reportingErrors([this] {
        if (m_programManager)
            m_programManager->showWindow();
    });
}

void Launcher::mnuDBClick()
{
    reportingErrors([this] {
        if (m_settingsDialog)
            m_settingsDialog->showDialog();
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
    removeTrayIcon();
    launcherRunning = false;
}

} // namespace kv
