// Shared by the database tests: settings for the throwaway cluster, a guard
// that always lets a stopped server run again, and a way to see that every
// connection a test opened has been given back.
#pragma once

#include "clustersettings.h"
#include "config/vbConfig.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

namespace dbtest {

using testsupport::clusterSettings;

// SIGSTOPs a server process and SIGCONTs it on every way out of the scope,
// failed assertions and exceptions included.
class StoppedProcess {
public:
    explicit StoppedProcess(int pid) : m_pid(pid)
    {
        if (m_pid <= 0 || ::kill(m_pid, SIGSTOP) != 0)
            throw std::runtime_error("cannot stop pid " + std::to_string(pid));
    }
    ~StoppedProcess() { ::kill(m_pid, SIGCONT); }
    StoppedProcess(const StoppedProcess &) = delete;
    StoppedProcess &operator=(const StoppedProcess &) = delete;

private:
    int m_pid;
};

// Stops the cluster for a scope; it runs again on every way out.
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

// Sets an environment variable for a scope.
class EnvOverride {
public:
    EnvOverride(const char *name, const std::string &value) : m_name(name)
    {
        if (const char *old = std::getenv(name)) {
            m_had = true;
            m_old = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~EnvOverride()
    {
        if (m_had)
            ::setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};

// Other sessions of the test role on the test database, this query's own
// excluded.
inline int otherSessions()
{
    return std::stoi(testenv::psql("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                                   "AND usename = current_user AND pid <> pg_backend_pid()"));
}

// A backend ends a moment after its client said goodbye: wait for that,
// boundedly, instead of for a fixed time.
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
