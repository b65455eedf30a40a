// Cost of one supervision pass over 50 running programs, and the launcher's
// memory while one child floods its output as fast as it can.
//
//   bench_supervision                         both, the flood for 60 s
//   KV_FLOOD_SECONDS=5 bench_supervision      a shorter flood
#include "programs/vbManagedPrograms.h"
#include "recordingsinks.h"

#include "childhelpers.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QFile>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

namespace {

long statusKb(const char *field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(key.size()));
    }
    return -1;
}

struct Station {
    testsupport::TempAppDir dir;
    kv::AppContext ctx{dir.path(), QStringLiteral("bench")};
    testsupport::ScriptedPrompter prompter;
    kv::SystemClock clock;
    kv::LauncherSettings shellConf;
    testsupport::RecordingEventLog events;
    kv::ManagedPrograms mp{ctx, prompter, clock, shellConf, events};

    void add(const char *program, const QString &arguments)
    {
        kv::ManagedProgram e;
        const QFileInfo fi(QString::fromUtf8(program));
        e.path = fi.absolutePath() + QLatin1Char('/');
        e.executable = fi.fileName();
        e.arguments = arguments;
        e.restartOnFailure = true;
        mp.managedPrograms.push_back(std::move(e));
        mp.startProgram(int(mp.managedPrograms.size() - 1));
    }
    ~Station()
    {
        for (auto &e : mp.managedPrograms) {
            if (e.process && e.process->pReady)
                e.process->killProcess();
        }
    }
};

void BM_SupervisionPass50Running(benchmark::State &state)
{
    Station s;
    s.shellConf.stationid = QStringLiteral("1");
    for (int i = 0; i < 50; ++i)
        s.add(childhelpers::kv_child_exit_after, QStringLiteral("600000"));
    s.mp.superviseManagedPrograms(); // take the "running" lines
    for (auto _ : state)
        s.mp.superviseManagedPrograms();
    int running = 0;
    for (auto &e : s.mp.managedPrograms)
        running += e.process && e.process->pReady;
    state.counters["running"] = running;
}
BENCHMARK(BM_SupervisionPass50Running)->Unit(benchmark::kMicrosecond);

// Not a timing: one pass a second, as the main loop runs it, for the given
// time, while a child writes without pause. The pipe holds the child back;
// what the launcher keeps is bounded by outText's limit.
void floodReport()
{
    const char *env = std::getenv("KV_FLOOD_SECONDS");
    const int seconds = env ? std::atoi(env) : 60;
    Station s;
    s.shellConf.stationid = QStringLiteral("1");
    const long rssBefore = statusKb("VmRSS");
    // yes(1) writes its line without pause until it is ended; "--" keeps the
    // station id the launcher appends from being read as an option.
    s.add("/usr/bin/yes", QStringLiteral("-- abcdefghijklmnopqrstuvwxyz"));
    QElapsedTimer t;
    t.start();
    long peak = rssBefore;
    while (t.elapsed() < seconds * 1000LL) {
        s.mp.superviseManagedPrograms();
        peak = std::max(peak, statusKb("VmRSS"));
        s.clock.sleepMs(1000);
    }
    std::cout << "flood " << seconds << " s, one pass a second: RSS before " << rssBefore << " kB, peak " << peak
              << " kB, after " << statusKb("VmRSS") << " kB; outText " << s.mp.managedPrograms[0].process->outText.size()
              << " chars\n";
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    floodReport();
    return 0;
}
