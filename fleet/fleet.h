// korvantis-fleet: the tills of one or more stores as their launchers report
// them in launcherstatus. Standard library and libpq only, so that it runs
// on any office machine that reaches the databases.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fleet {

enum class State { Ok = 0, Warning = 1, Down = 2 };
const char *stateName(State s);

struct Limits {
    // A heartbeat older than this is a till that is down.
    double boundS = 60;
    // A receipt waiting longer than this is worth a look.
    double receiptAgeS = 60;
    // A program that ended this often, the last time within the window, is crashing.
    int crashFailures = 3;
    double crashWindowS = 600;
    // How long a store may take to connect and answer.
    int timeoutS = 10;
    // The programs as the rows hold them are fetched (for --json).
    bool withPrograms = false;
};

// One row of launcherstatus as the query returns it; or a store that did not answer.
struct Station {
    std::string store;
    // Empty for a store that did not answer (storeError says why).
    std::optional<int> station;
    std::string storeError;
    std::string host, version, startedAt;
    double ageS = 0;
    std::optional<bool> databaseOk;
    int outages = 0;
    std::string printer;
    std::vector<std::string> printerReasons;
    std::string printerError;
    int receiptsWaiting = 0;
    std::optional<double> oldestReceiptS;
    // Short texts for each program that is down or crashing.
    std::vector<std::string> programProblems;
    // The programs as the row holds them (JSON).
    std::string programsJson = "[]";

    // Worked out by judge().
    State state = State::Ok;
    std::vector<std::string> reasons;
};

// The statement that reads one store; $1 crash failures, $2 crash window (s),
// $3 whether to return the programs' JSON (only --json prints it).
extern const char *const kQuery;

// Fills in state and reasons.
void judge(Station &s, const Limits &limits);
// Worst first: down, then warning, then ok; by store and station within each.
void sortWorstFirst(std::vector<Station> &stations);

std::string table(const std::vector<Station> &stations, bool showStore);
std::string json(const std::vector<Station> &stations);

struct Check {
    int exitCode = 0;
    std::string line;
};
// The monitoring plugin's answer: WARNING when more than `warnAbove` stations
// are not ok, CRITICAL when more than `critAbove` are down.
Check check(const std::vector<Station> &stations, int warnAbove, int critAbove, bool showStore);

} // namespace fleet
