// What the ctest fixtures started (database, print server) reaches the test
// programs through KEY=VALUE files in the build tree, loaded before any test.
#pragma once

#include <QString>

#include <string>

namespace testenv {

// Loads every *.env file of the build tree's environment directory into the
// process environment. Called by the shared test main.
void loadAll();

// The value of an environment variable a fixture wrote, or a fatal test
// failure naming the fixture when it is missing: tests never skip silently.
std::string require(const char *name);

// Database settings of the throwaway cluster.
struct Db {
    QString host, name, user, password;
    int port = 0;
};
Db database();

// Runs the harness script on the cluster: "stop", "start", "restart".
void pgctl(const char *command);
// The postmaster's pid (for SIGSTOP tests).
int postmasterPid();

// Runs SQL on the test database through psql as the test role; returns stdout.
std::string psql(const std::string &sql);

} // namespace testenv
