// The POS queue from the test cluster to the test printer: one pass over 1000
// queued receipts, and one receipt from its NOTIFY to its last byte at the
// printer with no main-loop cadence in between. Needs the pg and cups
// fixtures (bench/run sets them up).
//
//   bench_posqueue                                   both
//   bench_posqueue --benchmark_filter=NotifyToPrint  one of them
#include "escpos/vbPosCommands.h"

#include "config/vbDraldb.h"
#include "platform/posix/cupsspooler.h"
#include "tempdir.h"
#include "testenv.h"
#include "testprinter.h"

#include "benchmain.h"

#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <QElapsedTimer>

#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

namespace {

constexpr int kStation = 3;

// A receipt of a typical size: a header, twenty lines, a total, the
// front-end's feed-and-cut.
const char *const kReceiptSql =
    "'Korvantis Kasse 1' || E'\\n' || repeat(E'1 x Artikel          4,50 \\u20ac\\n', 20) || "
    "E'Summe               90,00 \\u20ac\\n\\x1b|fP'";

QByteArray confLine(const QString &key, const QString &value) { return (key + " = " + value + "\r\n").toUtf8(); }

// Everything the launcher would hold: the library connection, the printer
// channel on the real print server, the settings, the queue.
struct Till {
    testsupport::TempAppDir app;
    kv::DraldbLibrary library;
    qint32 libraryConnection = 0;
    kv::platform::CupsSpooler spooler;
    kv::PrintJournal journal{app.file(kv::PrintJournal::fileName())};
    kv::PosCommandQueue posQueue{library, libraryConnection, spooler, journal};
    testprinter::TestPrinter printer{testprinter::defaultQueue()};

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

// Waits for the printer's next job without the test printer's 5 ms poll, so
// the time taken is the job's, not the poll's.
bool waitForJob(const testprinter::TestPrinter &printer, int jobsBefore)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (printer.jobsReceived() <= jobsBefore) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
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
    for (auto _ : state) {
        state.PauseTiming();
        testenv::psql("INSERT INTO poscommands (stationid, device, command) SELECT " + std::to_string(kStation) +
                      ", 1, " + kReceiptSql + " FROM generate_series(1, 1000)");
        const auto mark = till.printer.mark();
        state.ResumeTiming();

        till.pass();
        if (!waitForJob(till.printer, mark.jobs)) {
            state.SkipWithError("the job did not reach the test printer");
            break;
        }

        state.PauseTiming();
        bytes = till.printer.bytesSince(mark).size();
        if (queuedCount() != "0\n") {
            state.SkipWithError("rows were left in the queue");
            break;
        }
        state.ResumeTiming();
    }
    state.counters["receipts"] = 1000;
    state.counters["job_bytes"] = double(bytes);
    state.counters["receipts_per_s"] =
        benchmark::Counter(1000, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Pass1000Receipts)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_NotifyToPrint(benchmark::State &state)
{
    Till till;
    if (till.libraryConnection == 0) {
        state.SkipWithError("the client library did not reach the test cluster");
        return;
    }
    for (const char *channel : {"shutdown", "poscommands", "test", "launcherlistentest"})
        till.library.VB_notify_listen(till.libraryConnection, QString::fromLatin1(channel));

    // The other part of the system that queues the receipt and notifies.
    const auto db = testenv::database();
    const std::string port = std::to_string(db.port);
    const std::string host = db.host.toStdString(), name = db.name.toStdString(), user = db.user.toStdString(),
                      password = db.password.toStdString();
    const char *keys[] = {"host", "port", "dbname", "user", "password", "connect_timeout", nullptr};
    const char *values[] = {host.c_str(), port.c_str(), name.c_str(), user.c_str(), password.c_str(), "5", nullptr};
    std::unique_ptr<PGconn, decltype(&PQfinish)> sender(PQconnectdbParams(keys, values, 0), &PQfinish);
    if (PQstatus(sender.get()) != CONNECTION_OK) {
        state.SkipWithError("the sending connection failed");
        return;
    }
    const std::string insertAndNotify = "INSERT INTO poscommands (stationid, device, command) VALUES (" +
                                        std::to_string(kStation) + ", 1, " + kReceiptSql + "); NOTIFY poscommands";
    testenv::psql("DELETE FROM poscommands");
    while (!till.library.VB_notify_check(till.libraryConnection).isEmpty()) {
    }

    double notifiedUs = 0, printedUs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto mark = till.printer.mark();
        state.ResumeTiming();

        QElapsedTimer t;
        t.start();
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
            if (t.elapsed() > 10000)
                break;
        }
        if (channel != "poscommands") {
            state.SkipWithError("no notification within 10 s");
            break;
        }
        const qint64 notified = t.nsecsElapsed();
        till.pass();
        if (!waitForJob(till.printer, mark.jobs)) {
            state.SkipWithError("the job did not reach the test printer");
            break;
        }
        notifiedUs += notified / 1000.0;
        printedUs += (t.nsecsElapsed() - notified) / 1000.0;
    }
    state.counters["notify_us"] = benchmark::Counter(notifiedUs, benchmark::Counter::kAvgIterations);
    state.counters["pass_and_print_us"] = benchmark::Counter(printedUs, benchmark::Counter::kAvgIterations);
    if (queuedCount() != "0\n")
        state.SkipWithError("rows were left in the queue");
}
BENCHMARK(BM_NotifyToPrint)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

} // namespace

int main(int argc, char **argv)
{
    return benchmain::run(argc, argv, "bench_posqueue", [] {
        testenv::database();
        testprinter::defaultQueue();
    });
}
