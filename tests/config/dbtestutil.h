// Shared by the database tests: the throwaway cluster's settings, scopes that
// always let a stopped server run again, and a count of open sessions.
#pragma once

#include "clustersettings.h"
#include "config/vbConfig.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

namespace dbtest {

using testsupport::clusterSettings;

// SIGSTOPs a process for a scope, failed assertions and exceptions included.
struct StoppedProcess {
    explicit StoppedProcess(int pid) : pid(pid)
    {
        if (pid <= 0 || ::kill(pid, SIGSTOP) != 0)
            throw std::runtime_error("cannot stop pid " + std::to_string(pid));
    }
    ~StoppedProcess() { ::kill(pid, SIGCONT); }
    StoppedProcess(const StoppedProcess &) = delete;
    const int pid;
};

// Stops the cluster for a scope.
struct ClusterStopped {
    ClusterStopped() { testenv::pgctl("stop"); }
    ~ClusterStopped()
    {
        try {
            testenv::pgctl("start");
        } catch (const std::exception &) {
        }
    }
};

// Other sessions of the test role on the test database, this query's own excluded.
inline int otherSessions()
{
    return std::stoi(testenv::psql("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                                   "AND usename = current_user AND pid <> pg_backend_pid()"));
}

// A backend ends a moment after its client said goodbye: wait for that, boundedly.
inline int sessionsSettledAt(int expected)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int n = otherSessions();
    while (n != expected && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        n = otherSessions();
    }
    return n;
}

inline double secondsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace dbtest
