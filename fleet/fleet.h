// korvantis-fleet: the tills of one or more stores as their launchers report
// them in launcherstatus. Standard library and libpq only, so that it runs
// on any office machine that reaches the databases.
//
// Every text in a row is the till's own: a till confined to its row may write
// anything there, and another launcher version may write other columns. So a
// row is read as JSON and judged here, field by field: what cannot be read is
// that till's problem, never its store's, and what reaches the office's
// terminal, a script or a monitoring engine is cleaned first.
#pragma once

#include "text.h"

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fleet {

enum class State { Ok = 0, Stopped = 1, Warning = 2, Down = 3 };
const char *stateName(State s);

// A launcher writes its heartbeat every second check of its connection.
constexpr double kHeartbeatS = 22;

struct Limits {
    // A heartbeat older than this is a till that is down: one lost heartbeat
    // (44 s) and the next one late by the write's own bound still fit in it.
    double boundS = 75;
    // A receipt waiting longer than this is worth a look.
    double receiptAgeS = 60;
    // A program that ended this often, the last time within the window, is crashing.
    int crashFailures = 3;
    double crashWindowS = 600;
    // How long a store may take to connect and answer.
    int timeoutS = 10;
};

// One row of launcherstatus; or a store that did not answer.
struct Station {
    std::string store;
    // The store did not answer (storeError says why): no station of it is known.
    bool storeDown = false;
    std::string storeError;
    // Empty when the row's stationid is not a whole number.
    std::optional<long long> station;
    std::string host, version, startedAt;
    std::optional<double> ageS;
    std::optional<bool> databaseOk;
    long long outages = 0;
    std::string printer;
    std::vector<std::string> printerReasons;
    std::string printerError;
    long long receiptsWaiting = 0;
    std::optional<double> oldestReceiptS;
    // Rows queued for devices the launcher does not handle: they stay unread.
    long long otherDeviceRows = 0;
    Json programs;
    // How the launcher stopped ("exit", "update"); empty while it runs.
    std::optional<std::string> stopped;
    // What of the row could not be read.
    std::vector<std::string> rowProblems;

    // Worked out by judge().
    State state = State::Ok;
    std::vector<std::string> reasons;
};

// The statement that reads one store: the server's clock (epoch seconds) and
// each row as JSON, so that no value of one row can fail it.
extern const char *const kQuery;

// A row as kQuery returns it; `now` is the server's clock.
Station readRow(const std::string &store, double now, std::string_view rowJson);
Station storeDown(const std::string &store, const std::string &error);

// Fills in state and reasons.
void judge(Station &s, const Limits &limits);
// Worst first: down, warning, stopped, ok; by store and station within each.
void sortWorstFirst(std::vector<Station> &stations);

std::string table(const std::vector<Station> &stations, bool showStore);
std::string json(const std::vector<Station> &stations);

// A threshold range of the monitoring plugins' guidelines: "10" (alert outside
// 0..10), "10:" (below 10), "~:10" (above 10), "10:20", "@10:20" (inside).
struct Range {
    double start = 0;
    double end = std::numeric_limits<double>::infinity();
    bool inside = false;
    std::string text;
    bool alerts(double value) const;
};
std::optional<Range> parseRange(std::string_view text);

struct Check {
    int exitCode = 0;
    std::string line;
};
// The monitoring plugin's answer: CRITICAL when `critical` alerts on the
// stations down, WARNING when `warning` alerts on those not ok (down or
// warning); stopped tills are neither.
Check check(const std::vector<Station> &stations, const Range &warning, const Range &critical, bool showStore);
// UNKNOWN, on stdout like every other answer.
std::string unknownLine(const std::string &why);

} // namespace fleet
