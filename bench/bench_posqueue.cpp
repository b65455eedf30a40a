// The POS queue from the test cluster to the test printer: one pass over 1000
// queued receipts, and one receipt from its NOTIFY to its last byte at the
// printer with no main-loop cadence in between, beside a bare libcups raw
// job of the same bytes. Both report where the pass's time goes, step by
// step. Needs the pg and cups fixtures (bench/run sets them up).
//
//   bench_posqueue                                   both
//   bench_posqueue --benchmark_filter=NotifyToPrint  one of them
//   KV_POS_SETTLE_MS=0 bench_posqueue                jobs back to back
//                                                    (default: 250 ms apart)
#include "escpos/vbPosCommands.h"

#include "station/vbDraldb.h"
#include "launcherfakes.h"
#include "platform/posix/cupsspooler.h"
#include "tempdir.h"
#include "testenv.h"
#include "testprinter.h"

#include "benchmain.h"
#include "passtiming.h"
#include "printerwatch.h"

#include <benchmark/benchmark.h>
#include <cups/cups.h>
#include <libpq-fe.h>

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <random>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kStation = 3;

// A receipt of a typical size: a header, twenty lines, a total, the
// front-end's feed-and-cut.
const char *const kReceiptSql =
    "'Korvantis Kasse 1' || E'\\n' || repeat(E'1 x Artikel          4,50 \\u20ac\\n', 20) || "
    "E'Summe               90,00 \\u20ac\\n\\x1b|fP'";

QByteArray confLine(const QString &key, const QString &value) { return (key + " = " + value + "\r\n").toUtf8(); }

int envInt(const char *name, int fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

// Everything the launcher would hold: the library connection, the printer
// channel on the real print server, the settings, the queue. The library and
// the spooler are timed by step (passtiming.h).
struct Till {
    testsupport::TempAppDir app;
    kv::DraldbLibrary library;
    benchpass::Steps steps;
    benchpass::TimedDraldb timedLibrary{library, steps};
    qint32 libraryConnection = 0;
    kv::platform::CupsSpooler spooler;
    benchpass::TimedSpooler timedSpooler{spooler, steps};
    kv::PosCommandQueue posQueue{timedLibrary, libraryConnection, timedSpooler};
    testprinter::TestPrinter printer{testprinter::defaultQueue()};
    benchprint::PrinterWatch watch{printer};

    Till()
    {
        const auto db = testenv::database();
        app.write("dralfrontend.conf", confLine("db_host", db.host) + confLine("db_name", db.name) +
                                           confLine("db_username", db.user) + confLine("db_password", db.password) +
                                           confLine("stationid", QString::number(kStation)));
        libraryConnection = library.system_init(app.file("dralfrontend"));
    }
    kv::PosPassReport pass() { return posQueue.processPosCommands(printer.name()); }
};

std::string queuedCount() { return testenv::psql("SELECT count(*) FROM poscommands"); }

// Rows leave the queue at the first pass after their job has completed.
bool drained(Till &till)
{
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         queuedCount() != "0\n" && std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        till.pass();
    return queuedCount() == "0\n";
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The steps of the passes as counters: the average per pass, in ms.
void reportSteps(benchmark::State &state, const benchpass::Steps &steps, double passes, const char *unitSuffix,
                 double scale)
{
    for (const auto &[step, ns] : steps.ns)
        state.counters[step + unitSuffix] = ns / scale / passes;
}

void BM_Pass1000Receipts(benchmark::State &state)
{
    Till till;
    if (till.libraryConnection == 0) {
        state.SkipWithError("the client library did not reach the test cluster");
        return;
    }
    testenv::psql("DELETE FROM poscommands");
    qint64 bytes = 0;
    double passes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        testenv::psql("INSERT INTO poscommands (stationid, device, command) SELECT " + std::to_string(kStation) +
                      ", 1, " + kReceiptSql + " FROM generate_series(1, 1000)");
        const auto mark = till.printer.mark();
        state.ResumeTiming();

        const auto t = benchpass::Clock::now();
        till.pass();
        const auto passed = benchpass::Clock::now();
        if (!till.watch.waitForNextJob()) {
            state.SkipWithError("the job did not reach the test printer");
            break;
        }
        till.steps.add("to_printer", passed);
        till.steps.add("whole", t);
        ++passes;

        state.PauseTiming();
        bytes = till.printer.bytesSince(mark).size();
        if (!drained(till)) {
            state.SkipWithError("rows were left in the queue");
            break;
        }
        state.ResumeTiming();
    }
    state.counters["receipts"] = 1000;
    state.counters["job_bytes"] = double(bytes);
    state.counters["receipts_per_s"] =
        benchmark::Counter(1000, benchmark::Counter::kIsIterationInvariantRate);
    if (passes > 0)
        reportSteps(state, till.steps, passes, "_ms", 1e6);
}
BENCHMARK(BM_Pass1000Receipts)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// The bytes of one receipt's job, handed to the print server the plainest
// way libcups offers (the floor of what any pass can take), and the times of
// its steps added to `steps`.
bool bareRawJob(const std::string &queue, const QByteArray &bytes, benchpass::Steps &steps)
{
    auto t = benchpass::Clock::now();
    const int job = cupsCreateJob(CUPS_HTTP_DEFAULT, queue.c_str(), "Korvantis POS", 0, nullptr);
    steps.add("bare_create_job", t);
    if (job == 0)
        return false;
    t = benchpass::Clock::now();
    const bool sent =
        cupsStartDocument(CUPS_HTTP_DEFAULT, queue.c_str(), job, "Korvantis POS", CUPS_FORMAT_RAW, 1) ==
            HTTP_STATUS_CONTINUE &&
        cupsWriteRequestData(CUPS_HTTP_DEFAULT, bytes.constData(), std::size_t(bytes.size())) == HTTP_STATUS_CONTINUE;
    steps.add("bare_write", t);
    t = benchpass::Clock::now();
    const bool finished = cupsFinishDocument(CUPS_HTTP_DEFAULT, queue.c_str()) <= IPP_STATUS_OK_CONFLICTING;
    steps.add("bare_finish", t);
    return sent && finished;
}

// One receipt from the INSERT and NOTIFY of another connection to the end of
// its job at the printer, beside the floor: the same bytes as a bare libcups
// raw job. The two take turns, so a machine that gets busier mid-run slows
// both. The test printer keeps a job once its connection ends: through a
// socket:// queue that is the last byte at the printer (argument 0), through
// the escpos backend the printer's confirmation that the receipt is printed
// (argument 1).
void BM_NotifyToPrintBesideBareJob(benchmark::State &state)
{
    Till till;
    if (till.libraryConnection == 0) {
        state.SkipWithError("the client library did not reach the test cluster");
        return;
    }
    till.printer.connectQueue(state.range(0) ? "escpos" : "socket");
    struct Restore {
        const testprinter::TestPrinter &printer;
        ~Restore() { printer.connectQueue("escpos"); }
    } restore{till.printer};
    for (const char *channel : {"shutdown", "poscommands", "test", "launcherlistentest"})
        till.library.VB_notify_listen(till.libraryConnection, QString::fromLatin1(channel));

    // The other part of the system that queues the receipt and notifies.
    const auto sender = testenv::connect("bench_posqueue");
    if (PQstatus(sender.get()) != CONNECTION_OK) {
        state.SkipWithError("the sending connection failed");
        return;
    }
    const std::string insertAndNotify = "INSERT INTO poscommands (stationid, device, command) VALUES (" +
                                        std::to_string(kStation) + ", 1, " + kReceiptSql + "); NOTIFY poscommands";
    testenv::psql("DELETE FROM poscommands");
    while (!till.library.VB_notify_check(till.libraryConnection).isEmpty()) {
    }

    // A first receipt through the pass gives the bytes the floor sends.
    PQclear(PQexec(sender.get(), insertAndNotify.c_str()));
    const auto first = till.printer.mark();
    till.pass();
    const QByteArray receipt = till.printer.bytesSince(first);
    till.watch.waitForNextJob();
    while (!till.library.VB_notify_check(till.libraryConnection).isEmpty()) {
    }
    till.steps.ns.clear();

    // A till's receipts come seconds apart; back to back, each job's first
    // request would also wait for the server to finish off the job before.
    const auto settle = std::chrono::milliseconds(envInt("KV_POS_SETTLE_MS", 250));
    std::vector<double> bareMs, notifyMs, passMs;
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(settle);
        state.ResumeTiming();
        // The floor.
        auto t = benchpass::Clock::now();
        if (!bareRawJob(till.printer.queue(), receipt, till.steps) || !till.watch.waitForNextJob()) {
            state.SkipWithError("the bare job did not reach the test printer");
            break;
        }
        bareMs.push_back(std::chrono::duration<double, std::milli>(benchpass::Clock::now() - t).count());

        // The launcher's way.
        state.PauseTiming();
        std::this_thread::sleep_for(settle);
        state.ResumeTiming();
        t = benchpass::Clock::now();
        PGresult *r = PQexec(sender.get(), insertAndNotify.c_str());
        const bool sent = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        if (!sent) {
            state.SkipWithError("the INSERT and NOTIFY failed");
            break;
        }
        // The main loop would take the notification on its next pass; here
        // it is taken as soon as the library has it.
        QString channel;
        while ((channel = till.library.VB_notify_check(till.libraryConnection)).isEmpty()) {
            if (benchpass::Clock::now() - t > std::chrono::seconds(10))
                break;
        }
        if (channel != "poscommands") {
            state.SkipWithError("no notification within 10 s");
            break;
        }
        const auto notified = benchpass::Clock::now();
        till.pass();
        const auto passed = benchpass::Clock::now();
        if (!till.watch.waitForNextJob()) {
            state.SkipWithError("the job did not reach the test printer");
            break;
        }
        till.steps.add("to_printer", passed);
        notifyMs.push_back(std::chrono::duration<double, std::milli>(notified - t).count());
        passMs.push_back(std::chrono::duration<double, std::milli>(benchpass::Clock::now() - notified).count());
    }
    const double n = double(passMs.size());
    if (n > 0) {
        reportSteps(state, till.steps, n, "_us", 1e3);
        state.counters["bare_job_ms"] = median(bareMs);
        state.counters["notify_ms"] = median(notifyMs);
        state.counters["pass_and_print_ms"] = median(passMs);
        std::vector<double> whole;
        for (std::size_t i = 0; i < passMs.size(); ++i)
            whole.push_back(notifyMs[i] + passMs[i]);
        state.counters["notify_to_print_ms"] = median(whole);
        state.counters["pass_x_bare"] = median(passMs) / median(bareMs);
    }
    if (!drained(till))
        state.SkipWithError("rows were left in the queue");
}
BENCHMARK(BM_NotifyToPrintBesideBareJob)
    ->ArgName("escpos")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(50);

// The same receipt through the launcher's loop as the till runs it: the
// launcher in this process (real client library, print server and library
// worker; fakes for the rest), its window thread's event loop running, the
// receipt's INSERT and NOTIFY sent by another connection at a random moment
// of the one-second pass (so that a wait for the next pass, were there one,
// is counted as a cashier meets it), until the job is at the printer (the
// last byte, escpos:0, or the printer's confirmation, escpos:1). Then a burst:
// 200 receipts, each with its NOTIFY, within one second, counting the passes
// that printed them and each receipt's copies on paper.
void BM_NotifyToPrintThroughTheLoop(benchmark::State &state)
{
    int argc = 1;
    char name[] = "bench_posqueue";
    char *argv[] = {name, nullptr};
    std::optional<QCoreApplication> app;
    if (!QCoreApplication::instance())
        app.emplace(argc, argv);
    testprinter::TestPrinter printer{testprinter::defaultQueue()};
    printer.connectQueue(state.range(0) ? "escpos" : "socket");
    struct Restore {
        const testprinter::TestPrinter &printer;
        ~Restore() { printer.connectQueue("escpos"); }
    } restore{printer};
    testenv::psql("DELETE FROM poscommands");

    launcherfakes::LauncherRig rig;
    rig.station = kStation;
    rig.writeShellConf("esc_printer = " + printer.name().toUtf8() + "\r\n");
    rig.writeFrontEndConf();
    kv::DraldbLibrary library;
    kv::platform::CupsSpooler spooler;
    kv::ThreadWorker libraryWorker;
    kv::SystemClock clock;
    kv::Launcher launcher(kv::LauncherParts{rig.ctx, rig.prompter, clock, rig.database, rig.watchdog, rig.update,
                                            rig.killer, library, spooler, rig.processes, rig.spawner, libraryWorker,
                                            rig.events, false});
    if (launcher.Main() != kv::Outcome::Continue || !launcher.state.escPosEnabled) {
        state.SkipWithError("the launcher did not start with printing on");
        return;
    }
    const auto runFor = [](std::chrono::milliseconds span, const std::function<bool()> &done) {
        const auto until = benchpass::Clock::now() + span;
        while (!done() && benchpass::Clock::now() < until)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        return done();
    };
    runFor(std::chrono::milliseconds(1500), [] { return false; }); // the start-up pass

    const auto sender = testenv::connect("bench_posqueue");
    if (PQstatus(sender.get()) != CONNECTION_OK) {
        state.SkipWithError("the sending connection failed");
        return;
    }
    const auto send = [&](const std::string &text) {
        const std::string sql = "INSERT INTO poscommands (stationid, device, command) VALUES (" +
                                std::to_string(kStation) + ", 1, '" + text + "' || " + kReceiptSql +
                                "); NOTIFY poscommands";
        PGresult *r = PQexec(sender.get(), sql.c_str());
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        return ok;
    };

    const auto rowsQueued = [&] {
        PGresult *r = PQexec(sender.get(), "SELECT count(*) FROM poscommands");
        const int n = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atoi(PQgetvalue(r, 0, 0)) : -1;
        PQclear(r);
        return n;
    };
    std::mt19937 random(40);
    std::vector<double> wholeMs, goneMs;
    for (auto _ : state) {
        // A moment of the pass at random, the event loop running meanwhile.
        runFor(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 999)(random)), [] { return false; });
        benchprint::PrinterWatch watch(printer);
        std::atomic<bool> printed{false};
        benchpass::Clock::time_point printedAt{};
        std::thread watcher([&] {
            if (watch.waitForNextJob(std::chrono::seconds(20)))
                printedAt = benchpass::Clock::now();
            printed = true;
        });
        const auto t = benchpass::Clock::now();
        const bool sent = send("one");
        runFor(std::chrono::seconds(25), [&] { return printed.load(); });
        watcher.join();
        if (!sent || printedAt == benchpass::Clock::time_point{}) {
            state.SkipWithError("the receipt did not reach the test printer");
            return;
        }
        wholeMs.push_back(std::chrono::duration<double, std::milli>(printedAt - t).count());
        // Then the row leaves the queue, at the launcher's first look after
        // the print server reported the job completed.
        if (!runFor(std::chrono::seconds(20), [&] { return rowsQueued() == 0; })) {
            state.SkipWithError("the receipt's row stayed in the queue");
            return;
        }
        goneMs.push_back(std::chrono::duration<double, std::milli>(benchpass::Clock::now() - printedAt).count());
    }
    std::sort(wholeMs.begin(), wholeMs.end());
    state.counters["notify_to_print_ms_p50"] = wholeMs[wholeMs.size() / 2];
    state.counters["notify_to_print_ms_p99"] = wholeMs[std::min(wholeMs.size() - 1, wholeMs.size() * 99 / 100)];
    state.counters["notify_to_print_ms_max"] = wholeMs.back();
    std::sort(goneMs.begin(), goneMs.end());
    state.counters["print_to_row_gone_ms_p50"] = goneMs[goneMs.size() / 2];
    state.counters["print_to_row_gone_ms_max"] = goneMs.back();

    // The burst: the passes that print it are logged at the ticks after.
    const auto passLines = [&] { return rig.events.lines.filter(QStringLiteral("POS pass (notified)")).size(); };
    runFor(std::chrono::milliseconds(2500), [] { return false; });
    const auto passesBefore = passLines();
    const auto mark = printer.mark();
    const auto burstStart = benchpass::Clock::now();
    for (int n = 1; n <= 200; ++n) {
        const auto due = burstStart + std::chrono::microseconds(n * 5000);
        runFor(std::chrono::duration_cast<std::chrono::milliseconds>(due - benchpass::Clock::now()),
               [] { return false; });
        if (!send("<burst " + std::to_string(n) + ">")) {
            state.SkipWithError("the burst's INSERT and NOTIFY failed");
            return;
        }
    }
    runFor(std::chrono::seconds(30), [] { return queuedCount() == "0\n"; });
    runFor(std::chrono::milliseconds(2500), [] { return false; });
    const QByteArray paper = printer.printedSince(mark);
    int once = 0;
    for (int n = 1; n <= 200; ++n)
        once += paper.count(QByteArray("<burst ") + QByteArray::number(n) + ">") == 1 ? 1 : 0;
    state.counters["burst_receipts_once"] = once;
    state.counters["burst_passes"] = double(passLines() - passesBefore);
    launcher.terminate();
    libraryWorker.waitIdle(30'000);
}
BENCHMARK(BM_NotifyToPrintThroughTheLoop)
    ->ArgName("escpos")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(100);

} // namespace

int main(int argc, char **argv)
{
    return benchmain::run(argc, argv, "bench_posqueue", [] {
        testenv::database();
        testprinter::defaultQueue();
    });
}
