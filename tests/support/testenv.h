// What the ctest fixtures started (database, print server) reaches the test
// programs through KEY=VALUE files in the build tree, loaded before any test.
#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <libpq-fe.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace testenv {

// Loads every *.env file of the build tree's environment directory into the
// process environment. Called by the shared test main.
void loadAll();

// The value of an environment variable a fixture wrote, or a fatal test
// failure naming the fixture when it is missing: tests never skip silently.
std::string require(const char *name);

// Asks probe every 10 ms until it holds (true) or bound has passed (false).
bool pollUntil(const std::function<bool()> &probe, std::chrono::milliseconds bound);

// Database settings of the throwaway cluster.
struct Db {
    QString host, name, user, password;
    int port = 0;
};
Db database();

// The process's environment with the test database in libpq's PG* variables,
// as an office runs korvantis-fleet or psql.
QProcessEnvironment pgEnvironment();

// A program run to its end (30 s at most): its exit code, -1 when it
// crashed or did not end, and its output.
struct Run {
    int exitCode = -1;
    QString out, err;
};
Run run(const QString &program, const QStringList &args, const QProcessEnvironment &env = pgEnvironment());

// Runs the harness script on the cluster: "stop", "start", "restart".
void pgctl(const char *command);
// The postmaster's pid (for SIGSTOP tests).
int postmasterPid();

// The cluster stopped for a scope: started again however the test ends, so
// that no later test finds it down (a start that fails is reported, never
// thrown out of the destructor).
class ClusterStopped {
public:
    ClusterStopped();
    ~ClusterStopped();
    ClusterStopped(const ClusterStopped &) = delete;
    ClusterStopped &operator=(const ClusterStopped &) = delete;
};

// A process held with SIGSTOP for a scope, let go however the test ends.
class Frozen {
public:
    explicit Frozen(int pid);
    ~Frozen();
    Frozen(const Frozen &) = delete;
    Frozen &operator=(const Frozen &) = delete;

private:
    int m_pid;
};

// Sessions of the test role on the test database, the asking one excluded.
// A backend ends a moment after its client said goodbye: waits up to 5 s for
// `expected` and returns the count then.
int sessionsSettledAt(int expected);

// A libpq session of the test's own, named so that it is told from the
// tills': as the test role on the test database or on `database`, or as the
// cluster's superuser. Check PQstatus.
using Session = std::unique_ptr<PGconn, decltype(&PQfinish)>;
Session connect(const char *applicationName, const std::string &database = std::string(), bool superuser = false);

// Runs SQL on the test database as the test role in a session of its own;
// returns the rows as psql -A -t prints them, or throws the server's error.
std::string psql(const std::string &sql);
// The same on another database of the cluster: SQL (`-c`) or a file (`-f`)
// as the test role, or as the cluster's superuser.
std::string psqlOn(const std::string &database, const char *option, const std::string &sqlOrFile,
                   bool superuser = false);

} // namespace testenv
