// VB_notify_check while the server behind it misbehaves: a proxy in front of
// the test cluster drops the session every KV_STALL_PERIOD_MS and turns, by
// turns, into a server that forwards, one that answers the handshake and then
// nothing (the LISTENs a reconnect sends stay unanswered), and one that never
// answers the handshake. The till polls once a second; here the checks come
// every 5 ms so that no stall escapes. Reports the slowest check of the run
// (the goal is below 50 ms) and how many notifications came through.
//
//   bench_notifycheck                         a 60 s run
//   KV_STALL_SECONDS=20 bench_notifycheck     a shorter one
#include "draldb.h"
#include "tcpproxy.h"
#include "tempdir.h"
#include "testenv.h"

#include "benchmain.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using draldbtest::TcpProxy;

int envInt(const char *name, int fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

QByteArray confLine(const QString &key, const QString &value) { return (key + " = " + value + "\r\n").toUtf8(); }

void BM_SlowestCheckBehindAStallingServer(benchmark::State &state)
{
    const auto db = testenv::database();
    TcpProxy proxy(db.port);
    testsupport::TempAppDir app;
    app.write("dralfrontend.conf", confLine("db_host", TcpProxy::kHost) + confLine("db_name", db.name) +
                                       confLine("db_username", db.user) + confLine("db_password", db.password));
    const int32_t connection = system_init(app.file("dralfrontend").toStdString().c_str());
    if (connection == 0) {
        state.SkipWithError("the client library did not reach the test cluster through the proxy");
        return;
    }
    for (const char *channel : {"shutdown", "poscommands", "test", "launcherlistentest"})
        VB_notify_listen(connection, channel);

    const auto run = std::chrono::seconds(envInt("KV_STALL_SECONDS", 60));
    const auto period = std::chrono::milliseconds(envInt("KV_STALL_PERIOD_MS", 7000));
    const TcpProxy::Mode modes[] = {TcpProxy::Mode::MuteAfterHandshake, TcpProxy::Mode::Forward,
                                    TcpProxy::Mode::Silent, TcpProxy::Mode::Forward};
    std::vector<double> callsMs;
    long notifications = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        auto nextTurn = start;
        auto nextNotify = start;
        std::size_t turn = 0;
        while (Clock::now() - start < run) {
            if (Clock::now() >= nextTurn) {
                proxy.setMode(modes[turn++ % std::size(modes)]);
                proxy.dropAll();
                nextTurn += period;
            }
            if (Clock::now() >= nextNotify) {
                // Another program's NOTIFY, straight to the server.
                testenv::psql("NOTIFY poscommands");
                nextNotify += std::chrono::milliseconds(500);
            }
            const auto call = Clock::now();
            char *channel = VB_notify_check(connection);
            callsMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - call).count());
            if (*channel)
                ++notifications;
            draldb_free(channel);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::sort(callsMs.begin(), callsMs.end());
    state.counters["checks"] = double(callsMs.size());
    state.counters["slowest_ms"] = callsMs.empty() ? 0 : callsMs.back();
    state.counters["p99_ms"] = callsMs.empty() ? 0 : callsMs[callsMs.size() * 99 / 100];
    state.counters["notifications"] = double(notifications);
}
BENCHMARK(BM_SlowestCheckBehindAStallingServer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

int main(int argc, char **argv)
{
    return benchmain::run(argc, argv, "bench_notifycheck", [] { testenv::database(); });
}
