// The idle launcher beside an idle supervisord: both supervise the same
// three sleeping programs, measured over the same window. The launcher runs
// as the product does, under an X display with a tray host, printing on, its
// client library listening.
//
//   bench_idle                         a 110 s window
//   KV_IDLE_SECONDS=22 bench_idle      a shorter one
//   KV_IDLE_MAPS=FILE bench_idle       also keeps the launcher's smaps
//   KV_IDLE_LAUNCHER=EXE bench_idle    another build of the launcher (A/B): in
//                                      the idle window it runs beside this
//                                      build, as a second till, over the same
//                                      seconds; start-up measures it instead
// CPU comes from the scheduler's nanosecond counts (/proc/PID/task/*/
// schedstat), memory from /proc/PID/smaps_rollup.
#include "tempdir.h"
#include "testenv.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>
#include <csignal>
#include <functional>
#include <unistd.h>

namespace {

constexpr int kStation = 9;
// The second till of an A/B window.
constexpr int kOtherStation = 10;

struct Usage {
    long rssKb = -1;
    long pssKb = -1;
    // Memory no other process shares: what the program itself adds.
    long privateDirtyKb = -1;
    // Time on a CPU, every thread of the process together, in nanoseconds:
    // the scheduler's own count, not clock ticks, which at 0.1 % of a core
    // would be a handful per minute.
    long long cpuNs = -1;
};

long field(const std::string &file, const std::string &key)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0)
            return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

// CPU by thread (tid, name, nanoseconds).
struct ThreadCpu {
    QString tid;
    std::string name;
    long long ns = 0;
};

std::vector<ThreadCpu> threadsOf(qint64 pid)
{
    std::vector<ThreadCpu> out;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        ThreadCpu t{tid, {}, 0};
        std::ifstream((tasks + "/" + tid + "/comm").toStdString()) >> t.name;
        std::ifstream in((tasks + "/" + tid + "/schedstat").toStdString());
        if (in >> t.ns)
            out.push_back(t);
    }
    return out;
}

long long cpuNsOf(qint64 pid)
{
    long long total = 0;
    for (const ThreadCpu &t : threadsOf(pid))
        total += t.ns;
    return total;
}

// Which of the launcher's threads spent the window's CPU, for stderr.
std::string threadShares(const std::vector<ThreadCpu> &before, const std::vector<ThreadCpu> &after)
{
    std::string out;
    for (const ThreadCpu &t : after) {
        long long ns = t.ns;
        for (const ThreadCpu &b : before) {
            if (b.tid == t.tid)
                ns -= b.ns;
        }
        out += " " + t.name + " " + std::to_string(ns / 1000) + " us;";
    }
    return out;
}

Usage usageOf(qint64 pid)
{
    Usage u;
    const std::string base = "/proc/" + std::to_string(pid);
    u.rssKb = field(base + "/status", "VmRSS");
    u.pssKb = field(base + "/smaps_rollup", "Pss");
    u.privateDirtyKb = field(base + "/smaps_rollup", "Private_Dirty");
    u.cpuNs = cpuNsOf(pid);
    return u;
}

void stopProcess(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(5000))
        p.kill();
    p.waitForFinished(2000);
}

QByteArray confLine(const QString &key, const QString &value)
{
    return (key + QStringLiteral(" = ") + value + QStringLiteral("\r\n")).toUtf8();
}

bool waitFor(const std::function<bool()> &condition, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(50);
    }
    return true;
}

// The station's rows, the front-end's file and shell.conf for the launcher in
// `app`, and its three programs, each running `script`.
void setUpTill(const testsupport::TempAppDir &app, const QByteArray &script, int station = kStation)
{
    const auto db = testenv::database();
    // The site's tables as the package makes them: the till writes its
    // status row on every check.
    if (station == kStation) {
        testenv::psqlOn(db.name.toStdString(), "-f", KV_DATABASE_SQL);
        testenv::psql("DELETE FROM config; INSERT INTO config (schemaversion) VALUES (90)");
    }
    testenv::psql("DELETE FROM managedprogram WHERE machineid = " + std::to_string(station));
    for (const char *name : {"tallyward.exe", "blipnote.exe"})
        testenv::psql("INSERT INTO managedprogram (name, path, executable, arguments, runonstart, "
                      "restartonfailure, machineid) VALUES ('" + std::string(name) + "', '" +
                      app.path().toStdString() + "', '" + name + "', '', true, true, " +
                      std::to_string(station) + ")");
    const QByteArray dbConf = confLine("db_host", db.host) + confLine("db_name", db.name) +
                              confLine("db_username", db.user) + confLine("db_password", db.password) +
                              confLine("stationid", QString::number(station));
    app.write("dralfrontend.conf", dbConf);
    app.write("shell.conf", dbConf + confLine("esc_printer", QString::fromStdString(testenv::require("KV_CUPS_OTHER_QUEUE"))) +
                                confLine("launcher", "korvantis-launcher"));
    for (const char *name : {"dralfrontend.exe", "tallyward.exe", "blipnote.exe"}) {
        app.write(name, script);
        QFile::setPermissions(app.file(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

// Whether the display in `env` has a window of that class.
bool hasWindow(const QProcessEnvironment &env, const char *windowClass, bool visibleOnly)
{
    QProcess x;
    x.setProcessEnvironment(env);
    QStringList args{"search", "--class", windowClass};
    if (visibleOnly)
        args.insert(1, "--onlyvisible");
    x.start("xdotool", args);
    x.waitForFinished(2000);
    return !x.readAllStandardOutput().trimmed().isEmpty();
}

// Xvfb on a free display with a tray host of its own; `env` gets the
// display. False when no display or tray host would start.
bool startTrayDisplay(QProcess &xvfb, QProcess &trayer, const QTemporaryDir &runtime, QProcessEnvironment &env)
{
    QString display;
    for (int n = 150; n < 200 && display.isEmpty(); ++n) {
        // Taken while its lock names a living server; a killed run's
        // leftovers Xvfb clears away itself.
        QFile lock(QStringLiteral("/tmp/.X%1-lock").arg(n));
        if (lock.open(QIODevice::ReadOnly)) {
            const int pid = lock.readAll().trimmed().toInt();
            if (pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM))
                continue;
        }
        xvfb.start("Xvfb", {QStringLiteral(":%1").arg(n), "-screen", "0", "800x600x24", "-nolisten", "tcp"});
        if (waitFor([&] { return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)); }, 5000))
            display = QStringLiteral(":%1").arg(n);
        else
            stopProcess(xvfb);
    }
    if (display.isEmpty())
        return false;
    env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.remove("QT_QPA_PLATFORM");
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    trayer.setProcessEnvironment(env);
    trayer.setProcessChannelMode(QProcess::ForwardedChannels);
    trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                            "--transparent", "false", "--tint", "0x808080", "--SetDockType", "true"});
    // A launcher started before the tray host is up runs without a tray,
    // and looks for one every two seconds: not the till being measured.
    return trayer.waitForStarted(5000) && waitFor([&] { return hasWindow(env, "trayer", false); }, 10000);
}

void BM_IdleBesideSupervisord(benchmark::State &state)
{
    testenv::loadAll();
    const char *secondsText = std::getenv("KV_IDLE_SECONDS");
    // Ten of the launcher's eleven-second periods: every window holds the
    // same number of periodic checks.
    const int seconds = secondsText ? std::atoi(secondsText) : 110;
    const char *names[] = {"dralfrontend.exe", "tallyward.exe", "blipnote.exe"};

    for (auto _ : state) {
        testsupport::TempAppDir app;
        testsupport::TempAppDir sup;
        setUpTill(app, "#!/bin/sh\necho started >> '" + app.file("ran.log").toUtf8() + "'\nexec sleep 1000000\n");
        QFile::copy(QStringLiteral(KV_LAUNCHER_EXE), app.file("korvantis-launcher"));
        // A/B: the other build as a second till beside this one.
        const char *otherText = std::getenv("KV_IDLE_LAUNCHER");
        const bool ab = otherText && *otherText;
        testsupport::TempAppDir other;
        if (ab) {
            setUpTill(other, "#!/bin/sh\necho started >> '" + other.file("ran.log").toUtf8() + "'\nexec sleep 1000000\n",
                      kOtherStation);
            QFile::copy(QString::fromLocal8Bit(otherText), other.file("korvantis-launcher"));
        }

        QByteArray supConf = "[supervisord]\nnodaemon=true\nlogfile=" + sup.file("supervisord.log").toUtf8() +
                             "\npidfile=" + sup.file("supervisord.pid").toUtf8() + "\nchildlogdir=" +
                             sup.path().toUtf8() + "\n";
        for (const char *name : names)
            supConf += QByteArray("[program:") + QByteArray(name).replace('.', '_') + "]\ncommand=" +
                       app.file(name).toUtf8() + "\nautorestart=true\nstdout_logfile=NONE\nredirect_stderr=true\n";
        sup.write("supervisord.conf", supConf);

        // A display with a tray host of its own.
        QProcess xvfb, trayer, launcher, supervisord, otherLauncher;
        QTemporaryDir runtime;
        QProcessEnvironment env;
        if (!startTrayDisplay(xvfb, trayer, runtime, env)) {
            state.SkipWithError("Xvfb or its tray host did not start");
            stopProcess(trayer);
            stopProcess(xvfb);
            return;
        }
        if (ab) {
            // Started first and left to settle: each launcher ends the
            // other's blipnote.exe once as its watchdog first connects.
            otherLauncher.setProcessEnvironment(env);
            otherLauncher.setWorkingDirectory(other.path());
            otherLauncher.setProcessChannelMode(QProcess::ForwardedOutputChannel);
            otherLauncher.setStandardErrorFile(QProcess::nullDevice());
            otherLauncher.start(other.file("korvantis-launcher"), {});
            waitFor([&] { return other.read("ran.log").count("started") >= 3; }, 30000);
            QThread::sleep(3);
        }
        launcher.setProcessEnvironment(env);
        launcher.setWorkingDirectory(app.path());
        launcher.setProcessChannelMode(QProcess::ForwardedChannels);
        launcher.start(app.file("korvantis-launcher"), {});
        supervisord.setProcessChannelMode(QProcess::ForwardedChannels);
        supervisord.start("supervisord", {"-n", "-c", sup.file("supervisord.conf")});

        const bool started = waitFor([&] { return app.read("ran.log").count("started") >= 6; }, 30000);
        if (!started) {
            state.SkipWithError("the programs did not all start");
        } else if (!waitFor([&] { return hasWindow(env, "korvantis-launcher", true); }, 10000)) {
            state.SkipWithError("the launcher's icon is not in the tray");
        } else {
            // Let both settle after their start. The ids are for attaching
            // perf or strace by hand.
            QThread::sleep(5);
            std::cerr << "bench_idle: launcher " << launcher.processId() << ", supervisord "
                      << supervisord.processId() << ", window " << seconds << " s\n";
            const auto threads0 = threadsOf(launcher.processId());
            const Usage l0 = usageOf(launcher.processId());
            const Usage s0 = usageOf(supervisord.processId());
            const Usage o0 = ab ? usageOf(otherLauncher.processId()) : Usage{};
            QThread::sleep(unsigned(seconds));
            const Usage l1 = usageOf(launcher.processId());
            const Usage o1 = ab ? usageOf(otherLauncher.processId()) : Usage{};
            std::cerr << "bench_idle: launcher threads over the window:"
                      << threadShares(threads0, threadsOf(launcher.processId())) << "\n";
            const Usage s1 = usageOf(supervisord.processId());
            // Without an event loop only a wait learns of the child's end.
            if (trayer.waitForFinished(0)) {
                const std::string how = trayer.exitStatus() == QProcess::CrashExit
                                            ? "was killed"
                                            : "exited with " + std::to_string(trayer.exitCode());
                const std::string why = "the tray host " + how + " in the window: the launcher looked for a tray";
                state.SkipWithError(why.c_str());
            }
            const auto cpu = [&](const Usage &a, const Usage &b) {
                return 100.0 * double(b.cpuNs - a.cpuNs) / 1e9 / seconds;
            };
            state.counters["launcher_rss_kb"] = double(l1.rssKb);
            state.counters["launcher_pss_kb"] = double(l1.pssKb);
            state.counters["launcher_private_kb"] = double(l1.privateDirtyKb);
            state.counters["launcher_cpu_pct"] = cpu(l0, l1);
            state.counters["supervisord_rss_kb"] = double(s1.rssKb);
            state.counters["supervisord_pss_kb"] = double(s1.pssKb);
            state.counters["supervisord_private_kb"] = double(s1.privateDirtyKb);
            state.counters["supervisord_cpu_pct"] = cpu(s0, s1);
            state.counters["cpu_launcher_x_supervisord"] =
                cpu(s0, s1) > 0 ? cpu(l0, l1) / cpu(s0, s1) : 0;
            state.counters["pss_launcher_x_supervisord"] = double(l1.pssKb) / double(s1.pssKb);
            state.counters["window_s"] = seconds;
            if (ab) {
                state.counters["other_launcher_cpu_pct"] = cpu(o0, o1);
                state.counters["cpu_other_x_launcher"] = cpu(l0, l1) > 0 ? cpu(o0, o1) / cpu(l0, l1) : 0;
            }
            if (const char *mapsTo = std::getenv("KV_IDLE_MAPS")) {
                // What the idle launcher has mapped, for looking at by hand.
                std::ifstream in("/proc/" + std::to_string(launcher.processId()) + "/smaps");
                std::ofstream(mapsTo) << in.rdbuf();
            }
        }
        stopProcess(supervisord);
        stopProcess(launcher);
        stopProcess(otherLauncher);
        stopProcess(trayer);
        stopProcess(xvfb);
        // The launcher leaves the front-end running on its way out, as it
        // does for the till; here it goes too.
        for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
            const QString cwd = QFileInfo("/proc/" + entry + "/cwd").symLinkTarget();
            if ((cwd == app.path() || (ab && cwd == other.path())) && entry.toInt() > 0)
                ::kill(entry.toInt(), SIGKILL);
        }
    }
}
BENCHMARK(BM_IdleBesideSupervisord)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Start-up to the icon in the tray: the launcher started as a till's session
// starts it (database up, printing on, its programs to start), under a
// display whose tray host runs, until its icon is a visible window there.
// KV_STARTS starts (default 5), the median and the slowest; KV_IDLE_LAUNCHER
// measures another build, for today's figure beside another's.
void BM_StartUpToTrayIcon(benchmark::State &state)
{
    testenv::loadAll();
    const char *startsText = std::getenv("KV_STARTS");
    const int starts = startsText ? std::max(1, std::atoi(startsText)) : 5;
    for (auto _ : state) {
        testsupport::TempAppDir app;
        setUpTill(app, "#!/bin/sh\nexec sleep 1000000\n");
        const char *otherLauncher = std::getenv("KV_IDLE_LAUNCHER");
        QFile::copy(otherLauncher && *otherLauncher ? QString::fromLocal8Bit(otherLauncher)
                                                    : QStringLiteral(KV_LAUNCHER_EXE),
                    app.file("korvantis-launcher"));
        QProcess xvfb, trayer;
        QTemporaryDir runtime;
        QProcessEnvironment env;
        if (!startTrayDisplay(xvfb, trayer, runtime, env)) {
            state.SkipWithError("Xvfb or its tray host did not start");
            stopProcess(trayer);
            stopProcess(xvfb);
            return;
        }
        const auto iconShown = [&] { return hasWindow(env, "korvantis-launcher", true); };
        std::vector<double> ms;
        for (int start = 0; start < starts; ++start) {
            QProcess launcher;
            launcher.setProcessEnvironment(env);
            launcher.setWorkingDirectory(app.path());
            launcher.setProcessChannelMode(QProcess::ForwardedOutputChannel);
            launcher.setStandardErrorFile(QProcess::nullDevice());
            QElapsedTimer t;
            t.start();
            launcher.start(app.file("korvantis-launcher"), {});
            bool shown = false;
            while (!(shown = iconShown()) && t.elapsed() < 30000)
                QThread::msleep(2);
            if (shown)
                ms.push_back(double(t.nsecsElapsed()) / 1e6);
            stopProcess(launcher);
            for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
                if (QFileInfo("/proc/" + entry + "/cwd").symLinkTarget() == app.path() && entry.toInt() > 0)
                    ::kill(entry.toInt(), SIGKILL);
            }
            QThread::msleep(500);
        }
        stopProcess(trayer);
        stopProcess(xvfb);
        if (ms.empty()) {
            state.SkipWithError("the icon never showed");
            return;
        }
        std::sort(ms.begin(), ms.end());
        state.counters["start_to_tray_ms_median"] = ms[ms.size() / 2];
        state.counters["start_to_tray_ms_max"] = ms.back();
        state.counters["starts"] = double(ms.size());
    }
}
BENCHMARK(BM_StartUpToTrayIcon)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
