// The main of a benchmark that runs against the test fixtures.
#pragma once

#include "testenv.h"

#include <benchmark/benchmark.h>

#include <exception>
#include <iostream>

namespace benchmain {

// Loads the fixtures' settings and runs the benchmarks. `check` asks for
// each fixture the program needs, so a missing one fails at once, named,
// rather than inside a run.
template <class Check>
int run(int argc, char **argv, const char *name, Check check)
{
    testenv::loadAll();
    benchmark::Initialize(&argc, argv);
    try {
        check();
        benchmark::RunSpecifiedBenchmarks();
    } catch (const std::exception &e) {
        std::cerr << name << ": " << e.what() << " (run it through bench/run, which sets up the fixtures)\n";
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}

} // namespace benchmain
