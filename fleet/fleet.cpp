#include "fleet.h"
#include "text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace fleet {

const char *const kQuery =
    "SELECT extract(epoch FROM now())::float8, row_to_json(l)::text FROM launcherstatus l";

const char *stateName(State s)
{
    switch (s) {
    case State::Ok: return "ok";
    case State::Stopped: return "stopped";
    case State::Warning: return "warning";
    case State::Down: return "down";
    }
    return "?";
}

namespace {

// Widths of the table's columns that show a till's text.
constexpr std::size_t kNameWidth = 40, kVersionWidth = 24, kWideWidth = 60, kErrorWidth = 100;
// A reason in --check's status line.
constexpr std::size_t kCheckWidth = 80;

std::string jsonList(const std::vector<std::string> &items)
{
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? ", " : "") + jsonText(items[i]);
    return out + "]";
}

std::string jsonNumber(double v)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", v);
    return buffer;
}

// ---- reading a row ----

// A text column as the office shows it: NULL is empty, another kind of value its JSON.
std::string textOf(const Json *v)
{
    if (!v || v->type == Json::Null)
        return {};
    return v->type == Json::String ? v->text : toJson(*v);
}

// Whole numbers a row may hold without overflowing ours.
std::optional<long long> wholeOf(const Json *v)
{
    if (!v || v->type != Json::Number || std::fabs(v->number) > 1e15 || v->number != std::floor(v->number))
        return std::nullopt;
    return static_cast<long long>(v->number);
}

std::optional<bool> boolOf(const Json *v)
{
    if (!v || v->type != Json::Bool)
        return std::nullopt;
    return v->boolean;
}

// Seconds since the epoch of a timestamp as row_to_json writes it
// (2026-12-07T07:58:02.123456+01:00).
std::optional<double> epochOf(const Json *v)
{
    if (!v || v->type != Json::String)
        return std::nullopt;
    std::tm t{};
    double sec = 0;
    int used = 0;
    if (std::sscanf(v->text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &sec, &used) != 6 ||
        t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 || t.tm_min > 59 ||
        !(sec >= 0 && sec < 61))
        return std::nullopt;
    const std::string zone = v->text.substr(std::size_t(used));
    int zh = 0, zm = 0;
    char sign = '+';
    if (zone != "Z" && std::sscanf(zone.c_str(), "%c%2d:%2d", &sign, &zh, &zm) < 2 &&
        std::sscanf(zone.c_str(), "%c%2d", &sign, &zh) < 2)
        return std::nullopt;
    if (sign != '+' && sign != '-')
        return std::nullopt;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    const double offset = (zh * 3600 + zm * 60) * (sign == '-' ? -1 : 1);
    return double(timegm(&t)) + sec - offset;
}

std::string utc(double epoch)
{
    const std::time_t t = std::time_t(epoch);
    std::tm tm{};
    char buffer[32];
    gmtime_r(&t, &tm);
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

// ---- judging and showing ----

std::string seconds(double s)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.0f", std::clamp(s, -1e12, 1e12));
    return buffer;
}

std::string ago(double s)
{
    if (s < 120)
        return seconds(s) + " s ago";
    if (s < 7200)
        return seconds(s / 60) + " min ago";
    if (s < 2 * 86400)
        return seconds(s / 3600) + " h ago";
    return seconds(s / 86400) + " days ago";
}

std::string joined(const std::vector<std::string> &parts, const char *separator)
{
    std::string out;
    for (const std::string &p : parts)
        out += (out.empty() ? "" : separator) + p;
    return out;
}

// Reasons that tell of nothing wrong: CUPS keeps a queue's last job in view
// for a moment after it ended.
bool harmless(const std::string &reason)
{
    return reason == "none" || reason == "cups-waiting-for-job-completed";
}

// A lasting reason that is information: a printer that cannot say when a job
// is on paper (older models), printing as designed.
bool informational(const std::string &reason)
{
    return reason == "kv-escpos-no-process-id-report";
}

// Texts of the programs that are down or crashing, and what of them could not be read.
void judgePrograms(Station &s, const Limits &limits)
{
    if (s.programs.type == Json::Null)
        return;
    if (s.programs.type != Json::Array) {
        s.reasons.push_back("status row: programs is not a list");
        return;
    }
    for (std::size_t i = 0; i < s.programs.items.size(); ++i) {
        const Json &p = s.programs.items[i];
        if (p.type != Json::Object) {
            s.reasons.push_back("status row: program " + std::to_string(i + 1) + " is not an object");
            continue;
        }
        const auto failures = wholeOf(p.find("failures"));
        const Json *endedAgo = p.find("ended_s_ago");
        const std::optional<double> since = endedAgo && endedAgo->type == Json::Number
                                                ? std::optional(endedAgo->number + s.ageS.value_or(0))
                                                : std::nullopt;
        const bool crashing = failures && since && *failures >= limits.crashFailures && *since <= limits.crashWindowS;
        const bool down = boolOf(p.find("running")) == false &&
                          (boolOf(p.find("awaiting_restart")) == true || boolOf(p.find("runonstart")) == true);
        if (!crashing && !down)
            continue;
        const std::string ended = textOf(p.find("ended"));
        s.reasons.push_back("program \"" + textOf(p.find("name")) + "\": " +
                            (crashing ? "crashing, " + std::to_string(*failures) + " failures, last " +
                                            seconds(*since) + " s ago"
                                      : std::string("down")) +
                            (ended.empty() ? std::string() : " (" + ended + ")"));
    }
}

std::string name(const Station &s, bool showStore)
{
    const std::string store = visible(s.store, kNameWidth, "|");
    if (s.storeDown)
        return store + " (database: " + visible(s.storeError, kCheckWidth, "|") + ")";
    return (showStore ? store + "/" : std::string()) + (s.station ? std::to_string(*s.station) : "?");
}

} // namespace

Station readRow(const std::string &store, double now, std::string_view rowJson)
{
    Station s;
    s.store = store;
    const std::optional<Json> parsed = parseJson(rowJson);
    if (!parsed || parsed->type != Json::Object) {
        s.rowProblems.push_back("status row: not readable");
        return s;
    }
    const Json &row = *parsed;
    s.station = wholeOf(row.find("stationid"));
    if (!s.station)
        s.rowProblems.push_back("status row: stationid " +
                                (row.find("stationid") ? textOf(row.find("stationid")).substr(0, 20) +
                                                             " is not a whole number"
                                                       : std::string("missing")));
    s.host = textOf(row.find("host"));
    s.version = textOf(row.find("version"));
    if (const auto started = epochOf(row.find("started_at")))
        s.startedAt = utc(*started);
    if (const auto heartbeat = epochOf(row.find("heartbeat")))
        s.ageS = now - *heartbeat;
    else
        s.rowProblems.push_back("status row: heartbeat missing or not a time");
    s.databaseOk = boolOf(row.find("database_ok"));
    s.outages = wholeOf(row.find("outages")).value_or(0);
    s.printer = textOf(row.find("printer"));
    if (const Json *reasons = row.find("printer_reasons"); reasons && reasons->type == Json::Array) {
        for (const Json &r : reasons->items)
            s.printerReasons.push_back(textOf(&r));
    } else if (const std::string r = textOf(reasons); !r.empty()) {
        s.printerReasons.push_back(r);
    }
    s.printerError = textOf(row.find("printer_error"));
    s.receiptsWaiting = wholeOf(row.find("receipts_waiting")).value_or(0);
    if (const auto oldest = epochOf(row.find("oldest_receipt_at")))
        s.oldestReceiptS = now - *oldest;
    s.otherDeviceRows = wholeOf(row.find("other_device_rows")).value_or(0);
    if (const Json *programs = row.find("programs"))
        s.programs = *programs;
    if (const Json *stopped = row.find("stopped"); stopped && stopped->type != Json::Null)
        s.stopped = textOf(stopped);
    return s;
}

Station storeDown(const std::string &store, const std::string &error)
{
    Station s;
    s.store = store;
    s.storeDown = true;
    s.storeError = error;
    return s;
}

void judge(Station &s, const Limits &limits)
{
    s.reasons.clear();
    s.state = State::Ok;
    if (s.storeDown) {
        s.state = State::Down;
        s.reasons.push_back("database: " + s.storeError);
        return;
    }
    // A launcher that ended as it should: its heartbeat stops by design, and
    // what the row says of printer and programs is from before it ended.
    if (s.stopped) {
        s.state = State::Stopped;
        s.reasons.push_back("stopped: " + *s.stopped);
        return;
    }
    if (s.ageS && *s.ageS > limits.boundS) {
        s.state = State::Down;
        s.reasons.push_back("heartbeat " + seconds(*s.ageS) + " s old");
    }
    s.reasons.insert(s.reasons.end(), s.rowProblems.begin(), s.rowProblems.end());
    if (s.databaseOk == false)
        s.reasons.push_back("database: last check failed (" + std::to_string(s.outages) + " outages)");
    if (!s.printerError.empty())
        s.reasons.push_back("printer: " + s.printerError);
    for (const std::string &r : s.printerReasons) {
        if (!harmless(r) && !informational(r))
            s.reasons.push_back("printer: " + r);
    }
    if (s.receiptsWaiting > 0 && s.oldestReceiptS && *s.oldestReceiptS > limits.receiptAgeS)
        s.reasons.push_back(std::to_string(s.receiptsWaiting) + " receipts waiting, oldest " +
                            seconds(*s.oldestReceiptS) + " s");
    if (s.otherDeviceRows > 0)
        s.reasons.push_back(std::to_string(s.otherDeviceRows) +
                            " queued rows for devices the launcher does not handle");
    judgePrograms(s, limits);
    if (s.state == State::Ok && !s.reasons.empty())
        s.state = State::Warning;
}

void sortWorstFirst(std::vector<Station> &stations)
{
    std::stable_sort(stations.begin(), stations.end(), [](const Station &a, const Station &b) {
        if (a.state != b.state)
            return a.state > b.state;
        if (a.store != b.store)
            return a.store < b.store;
        return a.station.value_or(-1) < b.station.value_or(-1);
    });
}

std::string table(const std::vector<Station> &stations, bool showStore)
{
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> header;
    if (showStore)
        header.push_back("STORE");
    for (const char *h : {"STATION", "STATE", "HOST", "LAST SEEN", "DATABASE", "PRINTER", "RECEIPTS", "PROGRAMS",
                          "VERSION"})
        header.push_back(h);
    rows.push_back(header);
    for (const Station &s : stations) {
        std::vector<std::string> r;
        if (showStore)
            r.push_back(visible(s.store, kNameWidth));
        if (s.storeDown) {
            r.push_back("-");
            r.push_back(stateName(s.state));
            for (int i = 0; i < 7; ++i)
                r.push_back(i == 2 ? visible(s.storeError, kErrorWidth) : "");
            rows.push_back(r);
            continue;
        }
        r.push_back(s.station ? std::to_string(*s.station) : "?");
        r.push_back(stateName(s.state));
        r.push_back(visible(s.host, kNameWidth));
        r.push_back(s.ageS ? ago(*s.ageS) : "?");
        r.push_back(!s.databaseOk ? "?" : (*s.databaseOk ? "ok" : "failed") +
                                              (s.outages ? ", " + std::to_string(s.outages) + " outages" : ""));
        std::vector<std::string> printer, info;
        for (const std::string &reason : s.printerReasons)
            if (informational(reason))
                info.push_back(reason);
            else if (!harmless(reason))
                printer.push_back(reason);
        if (!s.printerError.empty())
            printer.push_back(s.printerError);
        r.push_back(visible(s.printer.empty() ? "off"
                                              : s.printer + (printer.empty() ? ": ok" : ": " + joined(printer, ", ")) +
                                                    (info.empty() ? "" : " (" + joined(info, ", ") + ")"),
                            kWideWidth));
        r.push_back((s.receiptsWaiting == 0 ? "0"
                                            : std::to_string(s.receiptsWaiting) +
                                                  (s.oldestReceiptS ? ", oldest " + seconds(*s.oldestReceiptS) + " s"
                                                                    : std::string())) +
                    (s.otherDeviceRows ? " (+" + std::to_string(s.otherDeviceRows) + " other devices)" : ""));
        std::vector<std::string> programs;
        for (const std::string &p : s.reasons)
            if (p.rfind("program", 0) == 0 || p.rfind("status row: program", 0) == 0)
                programs.push_back(p.rfind("program ", 0) == 0 ? p.substr(8) : p);
        r.push_back(s.stopped ? "-" : visible(programs.empty() ? "-" : joined(programs, "; "), kWideWidth));
        r.push_back(visible(s.version, kVersionWidth));
        rows.push_back(r);
    }
    std::vector<std::size_t> width(header.size(), 0);
    for (const auto &r : rows)
        for (std::size_t i = 0; i < r.size(); ++i)
            width[i] = std::max(width[i], columns(r[i]));
    std::string out;
    for (const auto &r : rows) {
        std::string line;
        for (std::size_t i = 0; i < r.size(); ++i)
            line += r[i] + (i + 1 < r.size() ? std::string(width[i] - columns(r[i]) + 2, ' ') : "");
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    }
    return out;
}

std::string json(const std::vector<Station> &stations)
{
    std::string out = "[";
    for (std::size_t i = 0; i < stations.size(); ++i) {
        const Station &s = stations[i];
        out += i ? ",\n " : "\n ";
        out += "{\"store\": " + jsonText(s.store) +
               ", \"station\": " + (s.station ? std::to_string(*s.station) : std::string("null")) +
               ", \"state\": " + jsonText(stateName(s.state)) + ", \"reasons\": " + jsonList(s.reasons);
        if (!s.storeDown) {
            out += ", \"host\": " + jsonText(s.host) + ", \"version\": " + jsonText(s.version) +
                   ", \"started_at\": " + (s.startedAt.empty() ? std::string("null") : jsonText(s.startedAt)) +
                   ", \"last_seen_s\": " + (s.ageS ? jsonNumber(*s.ageS) : std::string("null")) +
                   ", \"stopped\": " + (s.stopped ? jsonText(*s.stopped) : std::string("null")) +
                   ", \"database_ok\": " + (s.databaseOk ? (*s.databaseOk ? "true" : "false") : "null") +
                   ", \"outages\": " + std::to_string(s.outages) +
                   ", \"printer\": " + (s.printer.empty() ? std::string("null") : jsonText(s.printer)) +
                   ", \"printer_reasons\": " + jsonList(s.printerReasons) + ", \"printer_error\": " +
                   (s.printerError.empty() ? std::string("null") : jsonText(s.printerError)) +
                   ", \"receipts_waiting\": " + std::to_string(s.receiptsWaiting) + ", \"oldest_receipt_s\": " +
                   (s.oldestReceiptS ? jsonNumber(*s.oldestReceiptS) : std::string("null")) +
                   ", \"other_device_rows\": " + std::to_string(s.otherDeviceRows) +
                   ", \"programs\": " + toJson(s.programs);
        }
        out += "}";
    }
    return out + (stations.empty() ? "]\n" : "\n]\n");
}

bool Range::alerts(double value) const
{
    const bool within = value >= start && value <= end;
    return inside ? within : !within;
}

std::optional<Range> parseRange(std::string_view text)
{
    Range r;
    r.text = std::string(text);
    if (!text.empty() && text.front() == '@') {
        r.inside = true;
        text.remove_prefix(1);
    }
    const auto number = [](std::string_view t, double &v) {
        const auto res = std::from_chars(t.data(), t.data() + t.size(), v);
        return !t.empty() && res.ec == std::errc() && res.ptr == t.data() + t.size() && std::isfinite(v);
    };
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        if (!number(text, r.end))
            return std::nullopt;
    } else {
        const std::string_view from = text.substr(0, colon), to = text.substr(colon + 1);
        if (from == "~")
            r.start = -std::numeric_limits<double>::infinity();
        else if (!from.empty() && !number(from, r.start))
            return std::nullopt;
        if (!to.empty() && !number(to, r.end))
            return std::nullopt;
    }
    if (r.start > r.end)
        return std::nullopt;
    return r;
}

Check check(const std::vector<Station> &stations, const Range &warning, const Range &critical, bool showStore)
{
    int down = 0, warned = 0, stopped = 0;
    std::vector<std::string> downNames, warningNames, stoppedNames;
    for (const Station &s : stations) {
        if (s.state == State::Down) {
            if (++down <= 10)
                downNames.push_back(name(s, showStore));
        } else if (s.state == State::Warning) {
            if (++warned <= 10)
                warningNames.push_back(name(s, showStore) + " (" + visible(s.reasons.front(), kCheckWidth, "|") +
                                       ")");
        } else if (s.state == State::Stopped) {
            if (++stopped <= 10)
                stoppedNames.push_back(name(s, showStore));
        }
    }
    const auto listed = [](const std::vector<std::string> &names, int count) {
        std::string out = joined(names, ", ");
        if (count > int(names.size()))
            out += " and " + std::to_string(count - int(names.size())) + " more";
        return out;
    };
    Check c;
    c.exitCode = critical.alerts(down) ? 2 : (warning.alerts(down + warned) ? 1 : 0);
    static const char *const words[] = {"OK", "WARNING", "CRITICAL"};
    const std::string total = std::to_string(stations.size());
    std::vector<std::string> parts;
    if (down > 0)
        parts.push_back(std::to_string(down) + " of " + total + " down: " + listed(downNames, down));
    if (warned > 0)
        parts.push_back(std::to_string(warned) + " of " + total + " with warnings: " + listed(warningNames, warned));
    if (stopped > 0)
        parts.push_back(std::to_string(stopped) + " stopped: " + listed(stoppedNames, stopped));
    const int ok = int(stations.size()) - down - warned - stopped;
    if (down == 0 && warned == 0)
        parts.insert(parts.begin(), std::to_string(ok) + " stations ok");
    // Performance data: the labels are ours, the thresholds the ranges as given.
    c.line = std::string("FLEET ") + words[c.exitCode] + " - " + joined(parts, "; ") + " | stations=" + total +
             ";;;0 ok=" + std::to_string(ok) + ";;;0;" + total + " not_ok=" + std::to_string(down + warned) + ";" +
             warning.text + ";;0;" + total + " warning=" + std::to_string(warned) + ";;;0;" + total +
             " down=" + std::to_string(down) + ";;" + critical.text + ";0;" + total +
             " stopped=" + std::to_string(stopped) + ";;;0;" + total;
    return c;
}

std::string unknownLine(const std::string &why)
{
    return "FLEET UNKNOWN - " + visible(why, 400, "|");
}

} // namespace fleet
