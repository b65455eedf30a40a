// The launcher's executable: builds the real parts, hands them to start-up
// and turns the launcher's end into the exit status.
#include "config/gui/qtsettingsdialog.h"
#include "station/vbDraldb.h"
#include "config/vbUpdate.h"
#include "config/vbWatchdog.h"
#include "core/appcontext.h"
#include "core/clock.h"
#include "core/gui/debugForm.h"
#include "core/gui/frmNotice.h"
#include "core/gui/qtprompter.h"
#include "core/eventlog.h"
#include "core/worker.h"
#include "escpos/vbEscpos.h"
#include "launcher/gui/frmConnecting.h"
#include "launcher/gui/vbSysTray.h"
#include "launcher/vbMain.h"
#include "platform/posix/cupsspooler.h"
#include "platform/process.h"
#include "programs/gui/Form1Window.h"
#include "programs/vbKill.h"
#include "programs/vbOtherInstance.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QSysInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <unistd.h>

namespace {

int g_termPipe[2] = {-1, -1};

// The update procedure reads the launcher's own settings record, which
// exists only once the launcher does; the launcher is given this in its place.
class UpdateProcedureSlot final : public kv::UpdateProcedure {
public:
    kv::UpdateProcedure *target = nullptr;
    kv::Outcome runUpdate() override { return target->runUpdate(); }
    void requestUpdate() override { target->requestUpdate(); }
};

// Built when start-up first waits: a start-up that does not wait creates no
// widget, and an idle launcher keeps none of the code that draws one.
class LazyWaitingWindow final : public kv::WaitingWindow {
public:
    void showWaiting(const QString &text) override
    {
        if (!m_window)
            m_window = std::make_unique<kv::frmConnecting>();
        m_window->showWaiting(text);
    }
    void keepShown() override
    {
        if (m_window)
            m_window->keepShown();
    }
    void hideWaiting() override
    {
        if (m_window)
            m_window->hideWaiting();
    }

private:
    std::unique_ptr<kv::frmConnecting> m_window;
};

extern "C" void onTerm(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_termPipe[1], &byte, 1);
    errno = saved;
}

// Anything but --version and --help is left to Qt: the launcher itself
// reads no options.
int answerOptions(int argc, char **argv, bool &answered)
{
    answered = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("korvantis-launcher %s\n", KV_VERSION);
            answered = true;
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf("Usage: korvantis-launcher\n"
                        "Starts and supervises the Korvantis programs of this station, prints its queued\n"
                        "receipts and shows an icon in the system tray. Settings are read from shell.conf\n"
                        "beside the executable.\n"
                        "  --version  print the version and exit\n"
                        "  --help     print this text and exit\n");
            answered = true;
            return 0;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    bool answered = false;
    const int answer = answerOptions(argc, argv, answered);
    if (answered)
        return answer;

    // A reader that went away must not kill the till's launcher.
    std::signal(SIGPIPE, SIG_IGN);
#if defined(__GLIBC__)
    // The worker threads allocate little and seldom; an arena of their own
    // each would stay mapped, idle, for the launcher's whole life.
    mallopt(M_ARENA_MAX, 1);
#endif

    // Asked before anything else runs, so that a copy started just after
    // this one does not count.
    auto &processes = kv::platform::systemProcessTable();
    const bool previousInstance = kv::vbOtherInstance::findOtherInstance(processes) >= 1;

    QApplication app(argc, argv);
    // The tray icon is not a window: closing the last message box must not
    // end the launcher.
    QApplication::setQuitOnLastWindowClosed(false);

    const kv::AppContext ctx = kv::AppContext::fromRunningExecutable();
    kv::SystemClock clock;
    // Shows the boxes; the launcher logs each one (launcher.prompter()).
    kv::QtPrompter boxes;
    kv::OdbcStartupDatabase database(ctx, clock);
    kv::vbKill::TableImageKiller imageKiller(processes);
    kv::QtNoticeSink notices;
    kv::DebugLog debugLog;
    // Under a systemd-started session stderr is the journal.
    kv::StreamEventLog events(stderr, clock, qEnvironmentVariableIsSet("JOURNAL_STREAM"));
    // Database and printer work that can wait on a server runs on these, so
    // that the tray and the windows never freeze.
    kv::ThreadWorker watchdogWorker;
    kv::ThreadWorker libraryWorker;
    kv::Watchdog watchdog(notices, debugLog, events, imageKiller, clock, watchdogWorker);
    UpdateProcedureSlot update;
    kv::DraldbLibrary draldb;
    // The POS passes print from the library worker while the settings
    // dialog's tests print from this thread: a spooler and a channel each.
    kv::platform::CupsSpooler spooler;
    kv::platform::CupsSpooler dialogSpooler;
    kv::EscposChannel dialogChannel(dialogSpooler);

    kv::Launcher launcher(kv::LauncherParts{ctx, boxes, clock, database, watchdog, update, imageKiller, draldb,
                                            spooler, processes, kv::platform::systemSpawner(), libraryWorker, events,
                                            previousInstance});
    kv::Prompter &prompter = launcher.prompter();
    kv::Updater updater(ctx, launcher.state.shellConf, prompter, imageKiller, events);
    update.target = &updater;
    kv::SysTray tray(launcher);
    kv::QtSettingsDialog settingsDialog(
        launcher.settingsDialogHooks(), launcher.state.shellConf,
        [&launcher]() -> const std::vector<kv::ManagedProgram> * {
            return &launcher.state.managedPrograms.managedPrograms;
        },
        dialogSpooler, dialogChannel, prompter, ctx);
    launcher.state.windows.settingsDialog = &settingsDialog;
    kv::ThreadWorker programManagerWorker;
    kv::Form1Window programManager(launcher.state.managedPrograms, launcher.state.shellConf, prompter, clock,
                                   programManagerWorker);
    launcher.state.managedPrograms.setObserver(&programManager.observer());
    launcher.state.windows.programManager = &programManager;
    LazyWaitingWindow connecting;
    // The till's health for the office: the row is written on the
    // watchdog's worker and connection, as a job of its own after a look's
    // verdict; the printer's reasons are asked on a worker of its own.
    kv::ThreadWorker statusWorker;
    kv::platform::CupsSpooler statusSpooler;
    kv::StationStatus stationStatus(QSysInfo::machineHostName(), QStringLiteral(KV_VERSION), clock.now(), clock, watchdog,
                             statusWorker, statusSpooler, events, [&watchdog] {
                                 return kv::DatabaseHealth{watchdog.dbConnectionUp, watchdog.outageCount};
                             });
    watchdog.setRider(stationStatus.rider());
    launcher.state.windows.status = &stationStatus;
    launcher.state.windows.waitingWindow = &connecting;
    QObject::connect(&launcher, &kv::Launcher::launcherEnded, &app, [](int status) { QApplication::exit(status); });

    // SIGTERM (shutdown, the service manager) takes the quit path.
    if (::pipe2(g_termPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction sa {};
        sa.sa_handler = onTerm;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &sa, nullptr);
    }
    QSocketNotifier termNotifier(g_termPipe[0], QSocketNotifier::Read);
    QObject::connect(&termNotifier, &QSocketNotifier::activated, &launcher, [&launcher] {
        char buffer[16];
        while (::read(g_termPipe[0], buffer, sizeof buffer) > 0) {
        }
        launcher.terminate();
    });

    // The window goes before the programs it watches.
    struct DetachObserver {
        kv::ManagedPrograms &programs;
        ~DetachObserver() { programs.setObserver(nullptr); }
    } detach{launcher.state.managedPrograms};

    int status = 0;
    if (launcher.Main() == kv::Outcome::LauncherEnds || launcher.state.ended)
        status = launcher.state.exitStatus;
    else
        status = QApplication::exec();
    // A check or pass still waiting on a server (one given up included) must
    // not hold the way out, nor run on inside a process whose libraries are
    // being torn down. Settings were written before the loop ended.
    if (kv::ThreadWorker::jobsUnfinished() > 0) {
        std::fflush(nullptr);
        ::_exit(status);
    }
    return status;
}
