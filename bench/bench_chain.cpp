// A chain of tills on one database server: 50, 500 and 2000 stations, each as
// the launcher holds it: its own client-library connection, configured with
// the station's id, listening on the four channels and polled once a second
// (each station at a phase of its own within the second), a pass over its
// own rows for every "poscommands" notification, the four listens and a look
// at the queue every 100 passes, and the watchdog's own ODBC connection
// tested every eleventh pass. The stations live in worker processes of
// KV_CHAIN_PER_PROCESS; this process queues receipts for random stations, 5 a
// second, in one of three forms:
//   broadcast  INSERT and NOTIFY poscommands: every station makes a pass;
//   routed     INSERT alone, with the trigger of docs/notify-by-station.sql
//              installed: only the row's station hears of it;
//   payload    routed, plus a notification carrying the station id that
//              reaches every station, whose library drops it: what a payload
//              instead of a channel of its own would cost the server.
// The printer is a spooler that takes every job: what is measured is the
// server's side. Each size and form runs without and with the stations'
// status rows (launcherstatus: the heartbeat with every second check, every
// 22nd pass, on the watchdog's connection after its look), so that what the
// rows add shows beside.
//
// Reported for each size and form: the server connections, per station and
// in all, the server's memory (the proportional set of all its processes),
// its CPU while the chain idles and what a receipt adds to it, and the
// receipt latency from the INSERT to the rows deleted (p50, p99), which
// includes the up to one second until the station's next poll. `late_ms_p99`
// tells how far the workers fell behind their own schedule: when it is
// large, the latency is the simulator's on this machine's two cores, not the
// server's.
//
//   bench_chain                                  60 s of receipts per run
//   KV_CHAIN_SECONDS=10 KV_CHAIN_SIZES=50,200    shorter, other sizes
//   KV_CHAIN_FORMS=routed                        only some of the forms
//   KV_CHAIN_STATUS=on                           only with status rows ("off on")
//   KV_CHAIN_RECEIPTS_PER_TILL_MINUTE=1          receipts at that rate per till
//                                                instead of 5 a second in all
//
// Needs a cluster that allows 2 connections per station and a few more
// (bench/run sets one up with KV_PG_MAX_CONNECTIONS).
#include "station/vbDraldb.h"
#include "config/vbWatchdog.h"
#include "core/clock.h"
#include "escpos/vbPosCommands.h"
#include "launcher/stationstatus.h"
#include "recordingsinks.h"
#include "scriptedprompter.h"
#include "tempdir.h"
#include "testenv.h"

#include "benchmain.h"

#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <QDir>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFirstStation = 5000;
constexpr int kReceiptsPerSecond = 5;
constexpr int kPassesPerRelisten = 100;
constexpr int kPeriodicCheckTick = 11;
// A process's client library makes its calls one at a time under one lock,
// waiting for the server while it holds it: one process for hundreds of
// tills falls behind its own schedule (by 0.7 s at 200 here), and the
// latency would be the simulator's.
constexpr int kStationsPerProcess = 25;

enum Form { Broadcast, Routed, Payload };
constexpr const char *kFormNames[] = {"broadcast", "routed", "payload"};

// The trigger's own removal, as the file's comment gives it.
constexpr const char *kDropTrigger = "DROP TRIGGER IF EXISTS korvantis_notify_station ON poscommands; "
                                     "DROP FUNCTION IF EXISTS korvantis_notify_station()";

int envInt(const char *name, int fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

double msSince(Clock::time_point since, Clock::time_point until = Clock::now())
{
    return std::chrono::duration<double, std::milli>(until - since).count();
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p / 100.0 * double(v.size())))];
}

// A printer that takes every job.
class TakingPrinter final : public kv::platform::PrinterHandle {
public:
    bool startDocument(const kv::platform::DocInfo &) override { return true; }
    bool startPage() override { return true; }
    bool write(std::string_view bytes, std::size_t &written) override
    {
        written = bytes.size();
        return true;
    }
    bool endPage() override { return true; }
    bool finishDocument() override { return true; }
    bool release() override { return true; }
    // A number of its own, so that the job can be recorded with its rows.
    kv::platform::JobRef job() const override { return {"chain", "", m_id}; }

private:
    static inline std::atomic<int> s_jobs{0};
    const int m_id = ++s_jobs;
};

class TakingSpooler final : public kv::platform::Spooler {
public:
    std::vector<std::string> printers() override { return {"chain"}; }
    std::string defaultPrinter() override { return "chain"; }
    std::unique_ptr<kv::platform::PrinterHandle> openPrinter(const std::string &) override
    {
        return std::make_unique<TakingPrinter>();
    }
    kv::platform::JobStage followJob(const kv::platform::JobRef &) override { return kv::platform::JobStage::Printed; }
    std::optional<int> cancelHeldJobs(const std::string &, const std::string &) override { return 0; }
    std::string lastError() const override { return {}; }
};

class NoLog final : public kv::LogSink {
public:
    void logLine(const QString &) override {}
};

class NoEvents final : public kv::EventLog {
public:
    void log(kv::LogPriority, const QString &) override {}
};

// When each receipt's row left the queue, by the receipt's number: its
// text is "R<number>".
struct Deletions {
    std::vector<std::pair<long, Clock::time_point>> at;
    void deleted(long number) { at.emplace_back(number, Clock::now()); }
};

// One station's view of the shared client library: its own connection, and
// its own station id where the library would give the configuration it read
// last (the library listens by the id each connection's configuration had).
class StationLibrary final : public kv::DraldbClient {
public:
    StationLibrary(kv::DraldbClient &inner, int station, Deletions &deletions)
        : m_inner(inner), m_station(QString::number(station)), m_deletions(deletions)
    {
    }
    qint32 system_init(const QString &s) override { return m_inner.system_init(s); }
    qint32 VB_notify_listen(qint32 c, const QString &s) override { return m_inner.VB_notify_listen(c, s); }
    QString VB_notify_check(qint32 c) override { return m_inner.VB_notify_check(c); }
    QString config_getvalue(const QString &key) override
    {
        return key == QLatin1String("stationid") ? m_station : m_inner.config_getvalue(key);
    }
    QString VB_new_sql(qint32 c, const QString &sql, qint32 &rs, qint32 flags) override
    {
        // A printed job's rows leave in one statement: it names them.
        if (!sql.startsWith(QLatin1String("DELETE FROM poscommands")))
            return m_inner.VB_new_sql(c, sql, rs, flags);
        QString error = m_inner.VB_new_sql(c, sql + QStringLiteral(" RETURNING command"), rs, flags);
        for (qint32 i = 0; rs != 0 && i < m_inner.VB_numrecord(rs); ++i) {
            qint32 row = m_inner.VB_moveto(rs, i);
            const QString command = m_inner.VB_getvalue(rs, QString(), QStringLiteral("command"), row);
            if (command.startsWith(QLatin1Char('R')))
                m_deletions.deleted(command.mid(1).toLong());
        }
        if (rs != 0)
            m_inner.VB_free(rs);
        return error;
    }
    qint32 VB_numrecord(qint32 rs) override { return m_inner.VB_numrecord(rs); }
    qint32 VB_moveto(qint32 rs, qint32 index) override { return m_inner.VB_moveto(rs, index); }
    QString VB_getvalue(qint32 rs, const QString &table, const QString &column, qint32 &row) override
    {
        return m_inner.VB_getvalue(rs, table, column, row);
    }
    QString VB_delete(qint32 rs, const QString &table, qint32 &row) override
    {
        return m_inner.VB_delete(rs, table, row);
    }
    void VB_free(qint32 &rs) override { m_inner.VB_free(rs); }
    qint32 draldb_relistens(qint32 c) override { return m_inner.draldb_relistens(c); }

private:
    kv::DraldbClient &m_inner;
    QString m_station;
    Deletions &m_deletions;
};

struct Station {
    int id;
    StationLibrary library;
    qint32 connection = 0;
    kv::LauncherSettings settings;
    kv::PosCommandQueue queue;
    // The launcher's watchdog runs on a worker; here every station's ticks
    // run one after another on this thread anyway.
    kv::InlineWorker watchdogWorker;
    kv::Watchdog watchdog;
    // The status row, when the run has them: a front-end and a card reader,
    // both running, and a printer that reports nothing.
    std::vector<kv::ManagedProgram> programs;
    kv::InlineWorker printerWorker;
    std::unique_ptr<kv::StationStatus> status;
    Clock::time_point nextTick;
    int tickCount = 0;
    int passCounter = 0;

    Station(int stationId, kv::DraldbClient &shared, Deletions &deletions, kv::platform::Spooler &spooler,
            const kv::LauncherSettings &db, kv::NoticeSink &notices, kv::LogSink &log,
            kv::EventLog &events, kv::ImageKiller &killer, const kv::Clock &clock)
        : id(stationId),
          library(shared, stationId, deletions),
          settings(db),
          queue(library, connection, spooler),
          watchdog(notices, log, events, killer, clock, watchdogWorker)
    {
    }
};

// The server and every process it started.
std::vector<int> serverProcesses(int postmaster)
{
    std::vector<int> out;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        if (!isPid)
            continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        int ppid = 0;
        char state = 0;
        std::istringstream rest(text.substr(close + 2));
        rest >> state >> ppid;
        if (pid == postmaster || ppid == postmaster)
            out.push_back(pid);
    }
    return out;
}

// CPU of the server's processes, in nanoseconds, by pid.
std::map<int, long long> serverCpu(int postmaster)
{
    std::map<int, long long> out;
    for (const int pid : serverProcesses(postmaster)) {
        std::ifstream sched("/proc/" + std::to_string(pid) + "/schedstat");
        long long ns = 0;
        if (sched >> ns)
            out[pid] = ns;
    }
    return out;
}

// The server's memory in MB: the proportional set of its processes, each
// counting its own pages and its share of the shared buffers and code.
double serverPssMb(int postmaster)
{
    long long kb = 0;
    for (const int pid : serverProcesses(postmaster)) {
        std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
        for (std::string line; std::getline(rollup, line);) {
            if (line.rfind("Pss:", 0) == 0)
                kb += std::atoll(line.c_str() + 4);
        }
    }
    return double(kb) / 1024.0;
}

// CPU the server used between two looks; processes that ended in between
// are lost, so nothing is started or ended on purpose meanwhile.
double cpuSecondsBetween(const std::map<int, long long> &before, const std::map<int, long long> &after)
{
    long long ns = 0;
    for (const auto &[pid, now] : after) {
        const auto it = before.find(pid);
        ns += now - (it == before.end() ? 0 : it->second);
    }
    return double(ns) / 1e9;
}

std::string scalar(PGconn *c, const std::string &sql)
{
    PGresult *r = PQexec(c, sql.c_str());
    std::string v = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
    PQclear(r);
    return v;
}

// One second of the launcher's main loop for a station, at its phase: the
// watchdog every eleventh pass, one notification, the relisten every 100.
void tick(Station &s)
{
    if (++s.tickCount >= kPeriodicCheckTick) {
        if (s.status)
            s.status->checkDue();
        s.watchdog.testDatabaseConnection(s.settings);
        s.watchdog.applyDatabaseTest();
        s.tickCount = 0;
    }
    if (s.status) {
        s.status->afterSupervision(s.settings, s.programs, true, s.tickCount + 1 >= kPeriodicCheckTick);
        s.watchdog.applyDatabaseTest();
    }
    // The payload form's notifications for other stations would be dropped
    // inside the library: the launcher never sees them.
    QString heard = s.library.VB_notify_check(s.connection);
    while (heard == QLatin1String("test"))
        heard = s.library.VB_notify_check(s.connection);
    if (heard == QLatin1String("poscommands"))
        s.queue.processPosCommands(s.settings.esc_printer);
    if (++s.passCounter >= kPassesPerRelisten) {
        s.passCounter = 0;
        for (const char *channel : {"shutdown", "poscommands", "test", "launcherlistentest"})
            s.library.VB_notify_listen(s.connection, QString::fromLatin1(channel));
        qint32 rs = 0;
        s.library.VB_new_sql(s.connection,
                             kv::poscommands::waitingCountQuery(QString::number(s.id)), rs, 0);
        if (rs != 0)
            s.library.VB_free(rs);
    }
}

// Runs every station's ticks until `until`; the lateness of each tick
// against its schedule goes to `lateMs`.
void runChain(std::vector<std::unique_ptr<Station>> &stations, Clock::time_point measureFrom, Clock::time_point until,
              std::vector<double> &lateMs)
{
    for (;;) {
        auto next = std::min_element(stations.begin(), stations.end(),
                                     [](const auto &a, const auto &b) { return a->nextTick < b->nextTick; });
        Station &s = **next;
        if (s.nextTick >= until)
            return;
        const auto now = Clock::now();
        if (now < s.nextTick)
            std::this_thread::sleep_until(s.nextTick);
        else if (s.nextTick >= measureFrom)
            lateMs.push_back(msSince(s.nextTick, now));
        tick(s);
        s.nextTick += std::chrono::seconds(1);
    }
}

// The stations of one worker process, from `first`, `count` of them: set up,
// "ready" on `out`, then the schedule from `in` (the steady clock's
// nanoseconds from which lateness counts and until which to run), then the
// deletions, the lateness and "end", and the end of the process when `in`
// closes.
[[noreturn]] void worker(int first, int count, bool withStatus, int in, int out)
{
    const auto say = [&](const std::string &text) {
        const bool written = ::write(out, text.data(), text.size()) == ssize_t(text.size());
        (void)written;
    };
    const auto db = testenv::database();
    testsupport::TempAppDir app;
    const auto confLine = [](const char *key, const QString &value) {
        return (QString::fromLatin1(key) + " = " + value + "\r\n").toUtf8();
    };
    const QByteArray common = confLine("db_host", db.host) + confLine("db_name", db.name) +
                              confLine("db_username", db.user) + confLine("db_password", db.password);
    kv::LauncherSettings dbSettings;
    dbSettings.db_host = db.host;
    dbSettings.db_name = db.name;
    dbSettings.db_username = db.user;
    dbSettings.db_password = db.password;
    dbSettings.esc_printer = QStringLiteral("chain");

    kv::DraldbLibrary shared;
    Deletions deletions;
    TakingSpooler spooler;
    testsupport::RecordingNotices notices;
    NoLog log;
    NoEvents events;
    testsupport::RecordingKiller killer;
    kv::SystemClock clock;
    testsupport::ScriptedPrompter prompter;
    std::mt19937 random{unsigned(first)};
    std::vector<std::unique_ptr<Station>> stations;
    for (int i = 0; i < count; ++i) {
        auto s = std::make_unique<Station>(first + i, shared, deletions, spooler, dbSettings, notices, log, events,
                                           killer, clock);
        // Each till's front-end folder, with its station id in the
        // configuration, as the launcher's set-up leaves it.
        const QString folder = QString::number(first + i);
        if (!QDir(app.path()).mkdir(folder)) {
            say("error cannot make a station's folder\n");
            ::_exit(1);
        }
        app.write(folder + "/dralfrontend.conf", common + confLine("stationid", folder));
        if (withStatus) {
            s->settings.stationid = folder;
            for (const char *name : {"Korvantis", "Card reader"}) {
                kv::ManagedProgram p;
                p.name = QString::fromLatin1(name);
                p.runOnStart = true;
                p.restartOnFailure = true;
                p.process = std::make_unique<kv::clsProcess>(prompter);
                p.process->pReady = true;
                s->programs.push_back(std::move(p));
            }
            kv::Watchdog &watchdog = s->watchdog;
            s->status = std::make_unique<kv::StationStatus>(
                QStringLiteral("till%1").arg(folder), QStringLiteral("bench"), QDateTime::currentDateTime(), clock,
                watchdog, s->printerWorker, spooler, events,
                [&watchdog] { return kv::DatabaseHealth{watchdog.dbConnectionUp, watchdog.outageCount}; });
            watchdog.setRider(s->status->rider());
        }
        s->connection = shared.system_init(app.file(folder + "/dralfrontend"));
        if (s->connection == 0) {
            say("error a station's library connection failed\n");
            ::_exit(1);
        }
        for (const char *channel : {"shutdown", "poscommands", "test", "launcherlistentest"})
            shared.VB_notify_listen(s->connection, QString::fromLatin1(channel));
        // Start-up makes the watchdog's connection; the periods of the
        // stations are spread over eleven seconds and a hundred.
        s->watchdog.setDbConnectionUp(true);
        s->watchdog.testDatabaseConnection(s->settings);
        s->tickCount = int(random() % kPeriodicCheckTick);
        s->passCounter = int(random() % kPassesPerRelisten);
        stations.push_back(std::move(s));
    }
    say("ready\n");
    long long schedule[2] = {0, 0};
    if (::read(in, schedule, sizeof schedule) != ssize_t(sizeof schedule))
        ::_exit(1);
    for (auto &s : stations)
        s->nextTick = Clock::now() + std::chrono::microseconds(random() % 1000000);
    std::vector<double> lateMs;
    runChain(stations, Clock::time_point(std::chrono::nanoseconds(schedule[0])),
             Clock::time_point(std::chrono::nanoseconds(schedule[1])), lateMs);
    std::string report;
    for (const auto &[number, at] : deletions.at)
        report += "D " + std::to_string(number) + " " + std::to_string(at.time_since_epoch().count()) + "\n";
    report += "late_ms_p99 " + std::to_string(percentile(lateMs, 99)) + "\n";
    report += "end\n";
    say(report);
    // Not before every worker is done: two thousand connections ending at
    // once hold up the server for seconds, and the workers still running
    // would count that as their own lateness.
    while (::read(in, schedule, sizeof schedule) > 0) {
    }
    // No destructors: the connections end with the process.
    ::_exit(0);
}

struct Worker {
    pid_t pid = -1;
    int toWorker = -1;
    int fromWorker = -1;
    std::string said;
};

std::string readLine(Worker &w)
{
    for (;;) {
        const std::size_t nl = w.said.find('\n');
        if (nl != std::string::npos) {
            std::string line = w.said.substr(0, nl);
            w.said.erase(0, nl + 1);
            return line;
        }
        char buffer[4096];
        const ssize_t n = ::read(w.fromWorker, buffer, sizeof buffer);
        if (n <= 0)
            return {};
        w.said.append(buffer, std::size_t(n));
    }
}

// The trigger for the routed forms, from the file a shop installs; removed
// again however the run ends.
class StationTrigger {
public:
    // Dropping what is not there is no news.
    explicit StationTrigger(PGconn *c) : m_conn(c) { PQclear(PQexec(m_conn, "SET client_min_messages = warning")); }
    ~StationTrigger() { PQclear(PQexec(m_conn, kDropTrigger)); }
    StationTrigger(const StationTrigger &) = delete;
    StationTrigger &operator=(const StationTrigger &) = delete;

    // Empty when installed, else what went wrong.
    std::string install() const
    {
        std::ifstream file(KV_NOTIFY_BY_STATION_SQL);
        const std::string sql((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (sql.empty())
            return std::string("cannot read ") + KV_NOTIFY_BY_STATION_SQL;
        PGresult *r = PQexec(m_conn, sql.c_str());
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        return ok ? std::string() : std::string("the trigger did not install: ") + PQerrorMessage(m_conn);
    }

private:
    PGconn *m_conn;
};

std::string receiptSql(Form form, int station, long number)
{
    std::string sql = "INSERT INTO poscommands (stationid, device, command) VALUES (" + std::to_string(station) +
                      ", 1, 'R" + std::to_string(number) + "')";
    if (form == Broadcast)
        sql += "; NOTIFY poscommands";
    else if (form == Payload)
        sql += "; NOTIFY test, '" + std::to_string(station) + "'";
    return sql;
}

void BM_Chain(benchmark::State &state)
{
    const int size = int(state.range(0));
    const Form form = Form(state.range(1));
    const bool withStatus = state.range(2) != 0;
    const int perTillMinute = envInt("KV_CHAIN_RECEIPTS_PER_TILL_MINUTE", 0);
    const auto receiptEvery = perTillMinute > 0
                                  ? std::chrono::microseconds(60'000'000LL / (long long)(size * perTillMinute))
                                  : std::chrono::microseconds(1'000'000 / kReceiptsPerSecond);
    const int seconds = envInt("KV_CHAIN_SECONDS", 60);
    const int perProcess = std::max(1, envInt("KV_CHAIN_PER_PROCESS", kStationsPerProcess));
    const int idleSeconds = 22;
    const int postmaster = testenv::postmasterPid();

    {
        auto probe = testenv::connect("bench_chain");
        const int maxConnections = std::atoi(scalar(probe.get(), "SHOW max_connections").c_str());
        if (maxConnections < 2 * size + 10) {
            state.SkipWithError(("the cluster allows " + std::to_string(maxConnections) +
                                 " connections; bench/run sets one up that allows enough")
                                    .c_str());
            return;
        }
    }
    for (auto _ : state) {
        // The workers first, while this process holds no connection or thread.
        std::vector<Worker> workers;
        for (int first = 0; first < size; first += perProcess) {
            int down[2], up[2];
            if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0) {
                state.SkipWithError("no pipe");
                return;
            }
            const pid_t pid = ::fork();
            if (pid == 0) {
                // Only this process's ends: a worker that kept another's (or
                // its own writing end) would never see its pipe close.
                ::close(down[1]);
                ::close(up[0]);
                for (const Worker &w : workers) {
                    ::close(w.toWorker);
                    ::close(w.fromWorker);
                }
                worker(kFirstStation + first, std::min(perProcess, size - first), withStatus, down[0], up[1]);
            }
            ::close(down[0]);
            ::close(up[1]);
            workers.push_back({pid, down[1], up[0], {}});
        }
        const auto endWorkers = [&] {
            for (Worker &w : workers) {
                ::close(w.toWorker);
                ::close(w.fromWorker);
                if (w.pid > 0)
                    ::waitpid(w.pid, nullptr, 0);
            }
        };
        std::string error;
        for (Worker &w : workers) {
            const std::string line = readLine(w);
            if (line != "ready" && error.empty())
                error = line.empty() ? "a worker ended during set-up" : line;
        }
        auto control = testenv::connect("bench_chain");
        if (error.empty() && PQstatus(control.get()) != CONNECTION_OK)
            error = "no connection to the test cluster";
        // The status table as a site has it, from the package's file.
        if (error.empty() && withStatus) {
            std::ifstream file(KV_DATABASE_SQL);
            const std::string sql((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            PGresult *r = PQexec(control.get(), sql.c_str());
            if (PQresultStatus(r) != PGRES_COMMAND_OK)
                error = std::string("database.sql did not apply: ") + PQerrorMessage(control.get());
            PQclear(r);
        }
        StationTrigger trigger(control.get());
        if (error.empty() && form != Broadcast)
            error = trigger.install();
        if (!error.empty()) {
            for (Worker &w : workers)
                ::kill(w.pid, SIGKILL);
            endWorkers();
            state.SkipWithError(error.c_str());
            return;
        }
        PQclear(PQexec(control.get(), withStatus ? "DELETE FROM poscommands; DELETE FROM launcherstatus"
                                                 : "DELETE FROM poscommands"));
        const auto writesSoFar = [&] {
            return std::atof(scalar(control.get(), "SELECT n_tup_ins + n_tup_upd FROM pg_stat_user_tables "
                                                   "WHERE relname = 'launcherstatus'")
                                 .c_str());
        };
        const double statusWritesBefore = withStatus ? writesSoFar() : 0;
        const double connections =
            std::atof(scalar(control.get(), "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                                            "AND application_name <> 'bench_chain'")
                          .c_str());

        // The schedule: a warm-up of one check period, in which every
        // station makes its first check and (with status rows) its first
        // write, as a launcher does once after it started; then the chain
        // alone; then with receipts; then time for the last receipts to come
        // through. What is measured starts after the warm-up: a fresh
        // session's first statements cost the server ten times a later one
        // (its caches), and a launcher pays that once, as it pays for
        // connecting.
        const auto warmFrom = Clock::now() + std::chrono::seconds(1);
        const auto idleFrom = warmFrom + std::chrono::seconds(kPeriodicCheckTick + 2);
        const auto busyFrom = idleFrom + std::chrono::seconds(idleSeconds);
        const auto busyUntil = busyFrom + std::chrono::seconds(seconds);
        const auto end = busyUntil + std::chrono::seconds(5);
        const long long schedule[2] = {idleFrom.time_since_epoch().count(), end.time_since_epoch().count()};
        for (Worker &w : workers) {
            if (::write(w.toWorker, schedule, sizeof schedule) != ssize_t(sizeof schedule))
                error = "a worker did not take its schedule";
        }

        std::this_thread::sleep_until(warmFrom);
        const auto warm = serverCpu(postmaster);
        std::this_thread::sleep_until(idleFrom);
        auto before = serverCpu(postmaster);
        const double warmUpCpu = cpuSecondsBetween(warm, before);
        std::this_thread::sleep_until(busyFrom);
        auto middle = serverCpu(postmaster);
        const double memoryMb = serverPssMb(postmaster);
        const double idleCpu = cpuSecondsBetween(before, middle) / idleSeconds;
        std::map<long, Clock::time_point> notified;
        std::mt19937 pick{unsigned(size)};
        long sent = 0;
        for (auto next = busyFrom; next < busyUntil; next += receiptEvery) {
            std::this_thread::sleep_until(next);
            const long number = ++sent;
            const int station = kFirstStation + int(pick() % unsigned(size));
            notified[number] = Clock::now();
            PQclear(PQexec(control.get(), receiptSql(form, station, number).c_str()));
        }
        const double busy = cpuSecondsBetween(middle, serverCpu(postmaster));
        const double window = std::chrono::duration<double>(busyUntil - busyFrom).count();

        std::vector<double> latencyMs;
        double lateMs = 0;
        for (Worker &w : workers) {
            for (std::string line = readLine(w); !line.empty() && line != "end"; line = readLine(w)) {
                std::istringstream in(line);
                std::string kind;
                in >> kind;
                if (kind == "D") {
                    long number = 0;
                    long long ns = 0;
                    in >> number >> ns;
                    const auto it = notified.find(number);
                    if (it == notified.end())
                        continue;
                    latencyMs.push_back(
                        msSince(it->second, Clock::time_point(std::chrono::nanoseconds(ns))));
                    notified.erase(it);
                } else if (kind == "late_ms_p99") {
                    double v = 0;
                    in >> v;
                    lateMs = std::max(lateMs, v);
                }
            }
        }
        endWorkers();
        PQclear(PQexec(control.get(), "DELETE FROM poscommands"));
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        const double statusRows =
            withStatus ? std::atof(scalar(control.get(), "SELECT count(*) FROM launcherstatus").c_str()) : 0;
        // Every write is an insert or an update of a till's row.
        const double statusWrites = withStatus ? writesSoFar() - statusWritesBefore : 0;
        state.SetLabel(std::string(kFormNames[form]) + (withStatus ? ", status rows" : ""));
        state.counters["stations"] = size;
        state.counters["processes"] = double(workers.size());
        state.counters["connections"] = connections;
        state.counters["connections_per_station"] = connections / size;
        state.counters["server_pss_mb"] = memoryMb;
        state.counters["server_warmup_cpu_s"] = warmUpCpu;
        state.counters["server_idle_cpu_pct"] = 100.0 * idleCpu;
        state.counters["server_busy_cpu_pct"] = 100.0 * busy / window;
        state.counters["server_cpu_ms_per_receipt"] =
            sent > 0 ? 1000.0 * std::max(0.0, busy - idleCpu * window) / double(sent) : 0;
        state.counters["receipts"] = double(sent);
        state.counters["undelivered"] = double(notified.size());
        state.counters["latency_ms_p50"] = percentile(latencyMs, 50);
        state.counters["latency_ms_p99"] = percentile(latencyMs, 99);
        state.counters["late_ms_p99"] = lateMs;
        state.counters["status_rows"] = statusRows;
        state.counters["status_writes"] = statusWrites;
    }
}

// Sizes from KV_CHAIN_SIZES and forms from KV_CHAIN_FORMS (names, separated
// by commas or blanks); each size runs every form before the next size.
void registerChains()
{
    const auto words = [](const char *name, const char *fallback) {
        const char *v = std::getenv(name);
        std::string text = v && *v ? v : fallback;
        std::replace(text.begin(), text.end(), ',', ' ');
        std::istringstream in(text);
        std::vector<std::string> out;
        for (std::string w; in >> w;)
            out.push_back(w);
        return out;
    };
    std::vector<int> forms;
    for (const std::string &name : words("KV_CHAIN_FORMS", "broadcast routed payload")) {
        const auto it = std::find_if(std::begin(kFormNames), std::end(kFormNames),
                                     [&](const char *known) { return name == known; });
        if (it == std::end(kFormNames))
            throw std::runtime_error("KV_CHAIN_FORMS: \"" + name + "\" is none of broadcast, routed, payload");
        forms.push_back(int(it - std::begin(kFormNames)));
    }
    std::vector<int> statuses;
    for (const std::string &word : words("KV_CHAIN_STATUS", "off on")) {
        if (word != "off" && word != "on")
            throw std::runtime_error("KV_CHAIN_STATUS: \"" + word + "\" is neither off nor on");
        statuses.push_back(word == "on");
    }
    auto *bench = benchmark::RegisterBenchmark("BM_Chain", BM_Chain);
    for (const std::string &word : words("KV_CHAIN_SIZES", "50 500 2000")) {
        const int size = std::atoi(word.c_str());
        if (size < 1 || std::to_string(size) != word)
            throw std::runtime_error("KV_CHAIN_SIZES: \"" + word + "\" is not a number of tills");
        for (const int form : forms)
            for (const int status : statuses)
                bench->Args({size, form, status});
    }
    bench->ArgNames({"tills", "form", "status"})->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
}

} // namespace

int main(int argc, char **argv)
{
    try {
        registerChains();
    } catch (const std::exception &e) {
        std::cerr << "bench_chain: " << e.what() << "\n";
        return 2;
    }
    return benchmain::run(argc, argv, "bench_chain", [] { testenv::database(); });
}
