// The launcher's loop in this process, with the real watchdog, client
// library and print server, through outages: a database frozen with SIGSTOP,
// a network (a proxy) that stops carrying anything, the print server and
// database both down, and the database frozen while the program manager is
// open (offscreen) with an edit typed during the outage. A timer of the window
// thread records the longest time the thread was held. Printed per outage:
// that stall, the seconds to the outage notice and to the recovery notice,
// and the seconds from "everything back" to the receipt queued meanwhile at
// the test printer (and to the edit in its row); for the frozen database,
// the watchdog's check lines against the checks that fell due.
// KV_OUTAGE_SCENARIOS picks outages ("frozen editor stall slow both").
#include "station/vbDraldb.h"
#include "config/vbWatchdog.h"
#include "launcherfakes.h"
#include "platform/posix/cupsspooler.h"
#include "programs/gui/Form1Window.h"
#include "recordingsinks.h"
#include "tcpproxy.h"
#include "testenv.h"
#include "testprinter.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace launcherfakes;
constexpr int kStation = 3;

double seconds(qint64 ms) { return ms / 1000.0; }

// Notices with the moment they came.
struct TimedNotices final : kv::NoticeSink {
    const QElapsedTimer &clock;
    std::vector<std::pair<qint64, kv::Notice>> shown;
    explicit TimedNotices(const QElapsedTimer &c) : clock(c) {}
    void showNotice(const kv::Notice &n) override { shown.emplace_back(clock.elapsed(), n); }
    std::optional<qint64> firstAfter(qint64 t, const QString &text) const
    {
        for (const auto &[at, n] : shown)
            if (at >= t && n.noticeText.startsWith(text))
                return at;
        return std::nullopt;
    }
};

// Nobody sits at the bench: every question is answered with its default,
// and a box that does not hold the loop is left open for the whole run.
struct Answering final : kv::Prompter {
    int boxes = 0;
    kv::MsgResult messageBox(const kv::MessageBox &box) override
    {
        ++boxes;
        std::fprintf(stderr, "  (message: %s)\n", qPrintable(box.text));
        return box.buttons == kv::MsgButtons::YesNo ? kv::MsgResult::Yes : kv::MsgResult::OK;
    }
    std::shared_ptr<kv::OpenBox> openBox(const kv::MessageBox &box) override
    {
        auto shown = std::make_shared<kv::OpenBox>(box);
        if (box.buttons != kv::MsgButtons::OK) {
            shown->answered(messageBox(box));
        } else {
            ++boxes;
            std::fprintf(stderr, "  (message left open: %s)\n", qPrintable(box.text));
        }
        return shown;
    }
    QString inputBox(const QString &, const QString &, const QString &) override { return {}; }
    void setBusyCursor(bool) override {}
};

// The postmaster and every process it started.
std::vector<int> clusterProcesses()
{
    const int postmaster = testenv::postmasterPid();
    std::vector<int> pids{postmaster};
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string comm, state;
        int ppid = 0;
        if (isPid && stat >> comm >> comm >> state >> ppid && ppid == postmaster)
            pids.push_back(pid);
    }
    return pids;
}

// Threads and descriptors of this process.
struct Resources {
    int threads = 0, descriptors = 0;
};

Resources resourcesNow()
{
    const auto count = [](const char *dir) {
        return int(QDir(QString::fromLatin1(dir)).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                       .size());
    };
    return {count("/proc/self/task"), count("/proc/self/fd")};
}

// Freezes (SIGSTOP) or thaws (SIGCONT) every one of them.
void signalAll(const std::vector<int> &pids, int signal)
{
    for (int pid : pids)
        ::kill(pid, signal);
}

struct Result {
    const char *what = "";
    qint64 stallMs = 0;
    std::optional<qint64> outageNoticeMs, recoveryNoticeMs, receiptMs;
    // Before the outage, the most during it, and after it.
    Resources before, peak, after;
    // Sessions of the till's database user, before and after.
    int sessionsBefore = 0, sessionsAfter = 0;
    // From "everything back" to the edit typed meanwhile in its row.
    std::optional<qint64> editSavedMs;
    // The watchdog's lines during the outage, one per eleventh tick however
    // long its checks wait for the server, against the checks that fell due.
    std::optional<int> checkLines, checksDue;
};

int sessions()
{
    return std::stoi(testenv::psql("SELECT count(*) FROM pg_stat_activity WHERE usename = current_user "
                                   "AND pid <> pg_backend_pid()"));
}

class Till {
public:
    Till(const QString &dbHost, Result &result) : m_result(result), m_notices(m_clock)
    {
        rig.station = kStation;
        const QByteArray keys = tilltest::Till::databaseKeys(dbHost);
        rig.writeShellConf("esc_printer = " + m_printer.name().toUtf8() + "\r\n", keys);
        rig.writeFrontEndConf(keys);
        m_clock.start();
        m_launcher = std::make_unique<kv::Launcher>(kv::LauncherParts{
            rig.ctx, m_prompter, m_systemClock, rig.database, m_watchdog, rig.update, rig.killer, m_library,
            m_spooler, rig.processes, rig.spawner, m_libraryWorker, rig.events, false});
        m_probe.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_probe, &QTimer::timeout, [this] {
            const qint64 now = m_clock.elapsed();
            m_result.stallMs = std::max(m_result.stallMs, now - m_lastProbe);
            m_lastProbe = now;
            if (++m_probes % 50 == 0) {
                const Resources r = resourcesNow();
                m_result.peak.threads = std::max(m_result.peak.threads, r.threads);
                m_result.peak.descriptors = std::max(m_result.peak.descriptors, r.descriptors);
            }
        });
    }
    ~Till()
    {
        m_launcher->terminate();
        m_launcher->state.managedPrograms.setObserver(nullptr);
        m_launcher->state.windows.programManager = nullptr;
        m_programManager.reset();
        m_libraryWorker.waitIdle(30'000);
        m_watchdogWorker.waitIdle(30'000);
    }

    bool start()
    {
        if (m_launcher->Main() != kv::Outcome::Continue || !m_launcher->state.escPosEnabled)
            return false;
        m_lastProbe = m_clock.elapsed();
        m_probe.start(10);
        // The first check and a few quiet ticks.
        runFor(3000);
        m_result.stallMs = 0;
        aside([this] { m_result.sessionsBefore = sessions(); });
        m_result.before = m_result.peak = resourcesNow();
        return true;
    }

    qint64 now() const { return m_clock.elapsed(); }
    // The bench's own blocking steps (psql, pg_ctl, restarting cupsd) hold
    // this thread too: they are not the launcher's stalls.
    void aside(const std::function<void()> &step)
    {
        step();
        m_lastProbe = now();
    }
    const QStringList &log() const { return m_log.lines; }
    int checkLines() const
    {
        return int(std::count_if(m_log.lines.begin(), m_log.lines.end(),
                                 [](const QString &l) { return l.contains(QLatin1String("Database test")); }));
    }
    void runFor(qint64 ms) { runUntil([] { return false; }, ms); }
    bool runUntil(const std::function<bool()> &done, qint64 boundMs)
    {
        const qint64 until = now() + boundMs;
        while (!done() && now() < until)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        return done();
    }

    // Runs until the receipt queued since `mark` is at the printer and, when
    // an outage was told, its recovery too; fills in the times after `back`.
    void collect(qint64 outageAt, qint64 back, const testprinter::TestPrinter::Mark &mark)
    {
        runUntil(
            [&] {
                return m_printer.jobsReceived() > mark.jobs &&
                       (!m_notices.firstAfter(outageAt, "Database connection to Korvantis server lost") ||
                        m_notices.firstAfter(back, "Korvantis database connection recovered"));
            },
            60'000);
        const auto lost = m_notices.firstAfter(outageAt, "Database connection to Korvantis server lost");
        const auto recovered = m_notices.firstAfter(back, "Korvantis database connection recovered");
        if (lost)
            m_result.outageNoticeMs = *lost - outageAt;
        if (recovered)
            m_result.recoveryNoticeMs = *recovered - back;
        if (m_printer.jobsReceived() > mark.jobs)
            m_result.receiptMs = m_receiptAt.value_or(now()) - back;
        // Within a minute of the end, what the outage took is given back.
        runUntil(
            [&] {
                const Resources r = resourcesNow();
                return r.threads <= m_result.before.threads && r.descriptors <= m_result.before.descriptors;
            },
            60'000);
        m_result.after = resourcesNow();
        aside([this] { m_result.sessionsAfter = sessions(); });
    }
    // Notes when the printer's job count passes the mark.
    void watchPrinter(const testprinter::TestPrinter::Mark &mark)
    {
        QObject::connect(&m_probe, &QTimer::timeout, [this, mark] {
            if (!m_receiptAt && m_printer.jobsReceived() > mark.jobs)
                m_receiptAt = now();
        });
    }
    testprinter::TestPrinter &printer() { return m_printer; }

    // The program manager shown with `entry` added to the station's
    // programs and selected, as the tray's "Manage Programs" opens it; its
    // Arguments box.
    QLineEdit *openProgramManager(kv::ManagedProgram entry)
    {
        auto &programs = m_launcher->state.managedPrograms.managedPrograms;
        programs.push_back(std::move(entry));
        const int index = int(programs.size()) - 1;
        m_programManager =
            std::make_unique<kv::Form1Window>(m_launcher->state.managedPrograms, m_launcher->state.shellConf,
                                              m_prompter, m_systemClock, m_programManagerWorker);
        m_launcher->state.managedPrograms.setObserver(&m_programManager->observer());
        m_launcher->state.windows.programManager = m_programManager.get();
        m_programManager->showWindow();
        m_programManager->widget()->findChild<QListWidget *>(QStringLiteral("lstPrograms"))->setCurrentRow(index);
        return m_programManager->widget()->findChild<QLineEdit *>(QStringLiteral("txtArgs"));
    }
    bool editsSaved() const
    {
        return m_programManager && !m_programManager->logic().hasPending() &&
               !m_programManager->logic().jobRunning();
    }

    LauncherRig rig;

private:
    Result &m_result;
    QElapsedTimer m_clock;
    TimedNotices m_notices;
    testsupport::RecordingLog m_log;
    kv::SystemClock m_systemClock;
    Answering m_prompter;
    kv::ThreadWorker m_watchdogWorker, m_libraryWorker;
    kv::Watchdog m_watchdog{m_notices, m_log, rig.events, rig.killer, m_systemClock, m_watchdogWorker};
    kv::DraldbLibrary m_library;
    kv::platform::CupsSpooler m_spooler;
    testprinter::TestPrinter m_printer{testprinter::otherQueue()};
    std::unique_ptr<kv::Launcher> m_launcher;
    kv::ThreadWorker m_programManagerWorker;
    std::unique_ptr<kv::Form1Window> m_programManager;
    QTimer m_probe;
    qint64 m_lastProbe = 0;
    int m_probes = 0;
    std::optional<qint64> m_receiptAt;
};

// Another till queues a receipt; its statement waits for a frozen server.
std::thread queueReceipt(const std::string &text)
{
    return std::thread([text] {
        testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (" + std::to_string(kStation) +
                      ", 1, '" + text + "'); NOTIFY poscommands");
    });
}

Result frozenDatabase(qint64 outageMs)
{
    Result r;
    r.what = "database frozen (SIGSTOP)";
    Till till(testenv::database().host, r);
    if (!till.start())
        return r;
    const auto mark = till.printer().mark();
    till.watchPrinter(mark);
    const std::vector<int> pids = clusterProcesses();
    signalAll(pids, SIGSTOP);
    const qint64 frozenAt = till.now();
    const int linesBefore = till.checkLines();
    std::thread other = queueReceipt("during the freeze");
    till.runFor(outageMs);
    signalAll(pids, SIGCONT);
    const qint64 back = till.now();
    r.checkLines = till.checkLines() - linesBefore;
    r.checksDue = int((back - frozenAt) / (1000 * kv::LoopCadence::kPeriodicCheckTick));
    till.collect(frozenAt, back, mark);
    till.aside([&] { other.join(); });
    return r;
}

// The cashier fixes a program's arguments while the server does not answer.
Result programManagerEditPending(qint64 outageMs)
{
    Result r;
    r.what = "program manager, edit pending";
    kv::ManagedProgram reader;
    reader.name = QStringLiteral("Card reader");
    reader.path = QStringLiteral("/opt/kv/");
    reader.executable = QStringLiteral("cardreader");
    reader.arguments = QStringLiteral("--port");
    reader.id = qint16(std::stoi(testenv::psql(
        "INSERT INTO managedprogram (name, path, executable, arguments, runonstart, restartonfailure, machineid) "
        "VALUES ('Card reader', '/opt/kv/', 'cardreader', '--port', false, false, " + std::to_string(kStation) +
        ") RETURNING id")));
    const std::string id = std::to_string(reader.id);
    {
        Till till(testenv::database().host, r);
        if (!till.start())
            return r;
        QLineEdit *arguments = till.openProgramManager(std::move(reader));
        till.runUntil([&] { return till.editsSaved(); }, 10'000);
        const auto mark = till.printer().mark();
        till.watchPrinter(mark);
        const std::vector<int> pids = clusterProcesses();
        signalAll(pids, SIGSTOP);
        const qint64 frozenAt = till.now();
        std::thread other = queueReceipt("while the program manager is open");
        arguments->end(false);
        arguments->insert(QStringLiteral(" /dev"));
        till.runFor(outageMs / 2);
        arguments->insert(QStringLiteral("/ttyS1"));
        till.runFor(outageMs - outageMs / 2);
        signalAll(pids, SIGCONT);
        const qint64 back = till.now();
        // Before the collecting, which waits up to a minute for the outage's
        // threads and descriptors to go (the program manager keeps its own).
        if (till.runUntil([&] { return till.editsSaved(); }, 90'000))
            r.editSavedMs = till.now() - back;
        till.collect(frozenAt, back, mark);
        till.aside([&] { other.join(); });
        if (testenv::psql("SELECT arguments FROM managedprogram WHERE id = " + id) != "--port /dev/ttyS1\n")
            r.editSavedMs.reset();
    }
    testenv::psql("DELETE FROM managedprogram WHERE id = " + id);
    return r;
}

// The till reaches the database through a proxy that `degrade` spoils for
// the outage and `restore` mends; other tills reach the server directly and
// queue a receipt for this one meanwhile.
Result throughProxy(const char *what, qint64 outageMs, const std::function<void(draldbtest::TcpProxy &)> &degrade,
                    const std::function<void(draldbtest::TcpProxy &)> &restore)
{
    Result r;
    r.what = what;
    draldbtest::TcpProxy proxy(testenv::database().port);
    Till till(QString::fromLatin1(draldbtest::TcpProxy::kHost), r);
    if (!till.start())
        return r;
    const auto mark = till.printer().mark();
    till.watchPrinter(mark);
    degrade(proxy);
    const qint64 degradedAt = till.now();
    till.aside([] { queueReceipt("through the proxy").join(); });
    till.runFor(outageMs);
    restore(proxy);
    const qint64 back = till.now();
    till.collect(degradedAt, back, mark);
    if (qEnvironmentVariableIsSet("KV_OUTAGE_LOG"))
        for (const QString &line : till.log())
            std::fprintf(stderr, "  log: %s\n", qPrintable(line));
    return r;
}

Result stallingNetwork(qint64 outageMs)
{
    return throughProxy(
        "network stalls (proxy)", outageMs, [](draldbtest::TcpProxy &p) { p.stall(true); },
        [](draldbtest::TcpProxy &p) { p.stall(false); });
}

// A slow link or a busy server: every answer 3 s late. That is no outage.
Result slowDatabase(qint64 outageMs)
{
    return throughProxy(
        "database answers in 3 s (proxy)", outageMs, [](draldbtest::TcpProxy &p) { p.delay(3000); },
        [](draldbtest::TcpProxy &p) { p.delay(0); });
}

Result printServerAndDatabaseDown(qint64 outageMs)
{
    Result r;
    r.what = "print server and database down";
    Till till(testenv::database().host, r);
    if (!till.start())
        return r;
    const auto mark = till.printer().mark();
    till.watchPrinter(mark);
    const int cupsd = testprinter::printServerPid();
    ::kill(cupsd, SIGKILL);
    const qint64 downAt = till.now();
    till.aside([] { queueReceipt("before both went").join(); });
    till.runFor(2000);
    till.aside([] { testenv::pgctl("stop"); });
    till.runFor(outageMs);
    till.aside([] {
        testenv::pgctl("start");
        testprinter::restorePrintServer();
    });
    const qint64 back = till.now();
    till.collect(downAt, back, mark);
    return r;
}

void print(const Result &r)
{
    const auto s = [](const std::optional<qint64> &ms) {
        return ms ? QString::number(seconds(*ms), 'f', 1) + QStringLiteral(" s") : QStringLiteral("-");
    };
    std::printf("%-32s %10lld ms %14s %16s %16s   %d/%d/%d  %d/%d/%d  %d/%d\n", r.what,
                static_cast<long long>(r.stallMs), qPrintable(s(r.outageNoticeMs)),
                qPrintable(s(r.recoveryNoticeMs)), qPrintable(s(r.receiptMs)), r.before.threads, r.peak.threads,
                r.after.threads, r.before.descriptors, r.peak.descriptors, r.after.descriptors, r.sessionsBefore,
                r.sessionsAfter);
    if (r.checkLines)
        std::printf("%-32s %s\n", "",
                    qPrintable(QStringLiteral("the watchdog's check lines during the outage: %1 for %2 checks due")
                                   .arg(*r.checkLines)
                                   .arg(*r.checksDue)));
    if (r.editSavedMs)
        std::printf("%-32s %s\n", "", qPrintable(QStringLiteral("the edit in its row %1 s after the server was back")
                                                         .arg(seconds(*r.editSavedMs), 0, 'f', 1)));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    // The program manager's row shows its window offscreen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QApplication app(argc, argv);
    testenv::loadAll();
    const qint64 outageMs = qEnvironmentVariableIntValue("KV_OUTAGE_SECONDS") > 0
                                ? qEnvironmentVariableIntValue("KV_OUTAGE_SECONDS") * 1000
                                : 30'000;
    const struct {
        const char *name;
        Result (*run)(qint64);
    } scenarios[] = {{"frozen", frozenDatabase},
                     {"editor", programManagerEditPending},
                     {"stall", stallingNetwork},
                     {"slow", slowDatabase},
                     {"both", printServerAndDatabaseDown}};
    const QStringList picked = qEnvironmentVariable("KV_OUTAGE_SCENARIOS", "frozen editor stall slow both")
                                   .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &name : picked) {
        const auto it = std::find_if(std::begin(scenarios), std::end(scenarios),
                                     [&](const auto &sc) { return name == QLatin1String(sc.name); });
        if (it == std::end(scenarios)) {
            std::fprintf(stderr, "bench_outage: KV_OUTAGE_SCENARIOS names \"%s\", which is none of frozen, editor, "
                                 "stall, slow, both\n",
                         qPrintable(name));
            return 2;
        }
    }
    try {
        testenv::psql("DELETE FROM poscommands");
        std::printf("outages of %lld s; the window thread's longest stall over the whole run\n",
                    static_cast<long long>(outageMs / 1000));
        std::printf("%-32s %13s %14s %16s %16s   %s  %s  %s\n", "outage", "longest stall", "outage notice",
                    "recovery notice", "back -> receipt", "threads", "descriptors", "sessions");
        std::printf("%-32s %13s %14s %16s %16s   %s  %s  %s\n", "", "", "", "", "",
                    "before/most/after", "before/most/after", "before/after");
        for (const auto &sc : scenarios)
            if (picked.contains(QLatin1String(sc.name)))
                print(sc.run(outageMs));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_outage: %s (run it through bench/run, which sets up the fixtures)\n", e.what());
        return 1;
    }
    return 0;
}
