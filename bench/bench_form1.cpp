// Typing into the program manager's Arguments box against the test cluster:
// the UI thread's whole time per keystroke (key event, entry, hand-over of
// the write to the window's worker), as the median and the maximum of 50
// keystrokes, and then the time until every keystroke's text is in the row.
// Run offscreen.
//
//   BM_Typing50Keystrokes                 the window as it is: one kept connection
//   BM_Typing50KeystrokesFreshConnection  the same with the session given back
//                                         before each keystroke, as when the
//                                         window is closed between edits
#include "programs/gui/Form1Window.h"

#include "form1station.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

QApplication &app()
{
    static QTemporaryDir runtime;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    static int argc = 1;
    static char name[] = "bench_form1";
    static char *argv[] = {name, nullptr};
    // Never destroyed: QTest's input devices would outlive what they need.
    static QApplication *a = new QApplication(argc, argv);
    return *a;
}

void typeInto(benchmark::State &state, bool freshConnection)
{
    app();
    form1test::Station station;
    station.standardStation();
    kv::ThreadWorker worker;
    kv::Form1Window window(station.mp, station.shellConf, station.prompter, station.clock, worker);
    window.showWindow();
    window.widget()->findChild<QListWidget *>(QStringLiteral("lstPrograms"))->setCurrentRow(1);
    auto *args = window.widget()->findChild<QLineEdit *>(QStringLiteral("txtArgs"));
    args->setFocus();
    args->end(false);

    std::vector<double> ms;
    for (auto _ : state) {
        ms.clear();
        for (int i = 0; i < 50; ++i) {
            if (freshConnection)
                window.logic().cmdClose_Click();
            const auto t0 = std::chrono::steady_clock::now();
            QTest::keyClick(args, char('a' + i % 26));
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        }
    }
    const auto t0 = std::chrono::steady_clock::now();
    const bool saved = QTest::qWaitFor([&] { return !window.logic().hasPending() && !window.logic().jobRunning(); },
                                       10000);
    state.counters["all_saved_ms"] =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (!saved || !window.logic().controls().status.isEmpty())
        state.SkipWithError("a keystroke did not reach the database");
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = (ms[24] + ms[25]) / 2;
    state.counters["max_ms"] = ms.back();
    state.counters["min_ms"] = ms.front();
}

void BM_Typing50Keystrokes(benchmark::State &state)
{
    typeInto(state, false);
}
BENCHMARK(BM_Typing50Keystrokes)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Typing50KeystrokesFreshConnection(benchmark::State &state)
{
    typeInto(state, true);
}
BENCHMARK(BM_Typing50KeystrokesFreshConnection)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

// The fixtures' settings come from files, as in the tests.
int main(int argc, char **argv)
{
    testenv::loadAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
