#include "fleet.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace fleet {

const char *const kQuery = R"SQL(
SELECT s.stationid, s.host, s.version,
       coalesce(to_char(s.started_at AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"'), ''),
       extract(epoch FROM now() - s.heartbeat)::float8,
       s.database_ok, s.outages, coalesce(s.printer, ''),
       array_to_string(s.printer_reasons, chr(31)), coalesce(s.printer_error, ''),
       s.receipts_waiting, extract(epoch FROM now() - s.oldest_receipt_at)::float8,
       coalesce((
         SELECT string_agg(format('program "%s": ', e.p->>'name') ||
                  CASE WHEN e.crashing
                       THEN format('crashing, %s failures, last %s s ago', e.p->>'failures', round(e.since::numeric))
                       ELSE 'down' END ||
                  coalesce(' (' || (e.p->>'ended') || ')', ''), chr(31) ORDER BY e.ord)
         FROM (SELECT x.p, x.ord,
                      (x.p->>'ended_s_ago')::float8 + extract(epoch FROM now() - s.heartbeat) AS since,
                      coalesce((x.p->>'failures')::int >= $1 AND (x.p->>'ended_s_ago')::float8
                               + extract(epoch FROM now() - s.heartbeat) <= $2, false) AS crashing
               FROM jsonb_array_elements(s.programs) WITH ORDINALITY AS x(p, ord)) e
         WHERE e.crashing OR (NOT (e.p->>'running')::boolean AND
                              ((e.p->>'awaiting_restart')::boolean OR (e.p->>'runonstart')::boolean))), ''),
       CASE WHEN $3 THEN s.programs::text ELSE '[]' END
FROM launcherstatus s
)SQL";

const char *stateName(State s)
{
    switch (s) {
    case State::Ok: return "ok";
    case State::Warning: return "warning";
    case State::Down: return "down";
    }
    return "?";
}

namespace {

std::string seconds(double s)
{
    return std::to_string(static_cast<long long>(std::llround(s)));
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

std::string jsonText(const std::string &s)
{
    std::string out = "\"";
    for (const unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

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

std::string name(const Station &s, bool showStore)
{
    if (!s.station)
        return s.store + " (database)";
    return (showStore ? s.store + "/" : std::string()) + std::to_string(*s.station);
}

} // namespace

void judge(Station &s, const Limits &limits)
{
    s.reasons.clear();
    s.state = State::Ok;
    if (!s.station) {
        s.state = State::Down;
        s.reasons.push_back("database: " + s.storeError);
        return;
    }
    if (s.ageS > limits.boundS) {
        s.state = State::Down;
        s.reasons.push_back("heartbeat " + seconds(s.ageS) + " s old");
    }
    if (s.databaseOk == false)
        s.reasons.push_back("database: last check failed (" + std::to_string(s.outages) + " outages)");
    if (!s.printerError.empty())
        s.reasons.push_back("printer: " + s.printerError);
    for (const std::string &r : s.printerReasons) {
        if (!harmless(r))
            s.reasons.push_back("printer: " + r);
    }
    if (s.receiptsWaiting > 0 && s.oldestReceiptS && *s.oldestReceiptS > limits.receiptAgeS)
        s.reasons.push_back(std::to_string(s.receiptsWaiting) + " receipts waiting, oldest " +
                            seconds(*s.oldestReceiptS) + " s");
    for (const std::string &p : s.programProblems)
        s.reasons.push_back(p);
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
            r.push_back(s.store);
        if (!s.station) {
            r.push_back("-");
            r.push_back(stateName(s.state));
            for (int i = 0; i < 7; ++i)
                r.push_back(i == 2 ? s.storeError : "");
            rows.push_back(r);
            continue;
        }
        r.push_back(std::to_string(*s.station));
        r.push_back(stateName(s.state));
        r.push_back(s.host);
        r.push_back(ago(s.ageS));
        r.push_back(!s.databaseOk ? "?" : (*s.databaseOk ? "ok" : "failed") +
                                              (s.outages ? ", " + std::to_string(s.outages) + " outages" : ""));
        std::vector<std::string> printer;
        for (const std::string &reason : s.printerReasons)
            if (!harmless(reason))
                printer.push_back(reason);
        if (!s.printerError.empty())
            printer.push_back(s.printerError);
        r.push_back(s.printer.empty() ? "off" : s.printer + (printer.empty() ? ": ok" : ": " + joined(printer, ", ")));
        r.push_back(s.receiptsWaiting == 0 ? "0"
                                           : std::to_string(s.receiptsWaiting) +
                                                 (s.oldestReceiptS ? ", oldest " + seconds(*s.oldestReceiptS) + " s"
                                                                   : std::string()));
        std::vector<std::string> programs;
        for (const std::string &p : s.programProblems)
            programs.push_back(p.rfind("program ", 0) == 0 ? p.substr(8) : p);
        r.push_back(programs.empty() ? "-" : joined(programs, "; "));
        r.push_back(s.version);
        rows.push_back(r);
    }
    std::vector<std::size_t> width(header.size(), 0);
    for (const auto &r : rows)
        for (std::size_t i = 0; i < r.size(); ++i)
            width[i] = std::max(width[i], r[i].size());
    std::string out;
    for (const auto &r : rows) {
        std::string line;
        for (std::size_t i = 0; i < r.size(); ++i)
            line += r[i] + (i + 1 < r.size() ? std::string(width[i] - r[i].size() + 2, ' ') : "");
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
        if (s.station) {
            out += ", \"host\": " + jsonText(s.host) + ", \"version\": " + jsonText(s.version) +
                   ", \"started_at\": " + (s.startedAt.empty() ? std::string("null") : jsonText(s.startedAt)) +
                   ", \"last_seen_s\": " + jsonNumber(s.ageS) + ", \"database_ok\": " +
                   (s.databaseOk ? (*s.databaseOk ? "true" : "false") : "null") +
                   ", \"outages\": " + std::to_string(s.outages) +
                   ", \"printer\": " + (s.printer.empty() ? std::string("null") : jsonText(s.printer)) +
                   ", \"printer_reasons\": " + jsonList(s.printerReasons) + ", \"printer_error\": " +
                   (s.printerError.empty() ? std::string("null") : jsonText(s.printerError)) +
                   ", \"receipts_waiting\": " + std::to_string(s.receiptsWaiting) + ", \"oldest_receipt_s\": " +
                   (s.oldestReceiptS ? jsonNumber(*s.oldestReceiptS) : std::string("null")) +
                   ", \"programs\": " + s.programsJson;
        }
        out += "}";
    }
    return out + (stations.empty() ? "]\n" : "\n]\n");
}

Check check(const std::vector<Station> &stations, int warnAbove, int critAbove, bool showStore)
{
    int down = 0, warning = 0;
    std::vector<std::string> downNames, warningNames;
    for (const Station &s : stations) {
        if (s.state == State::Down) {
            ++down;
            if (downNames.size() < 10)
                downNames.push_back(name(s, showStore));
        } else if (s.state == State::Warning) {
            ++warning;
            if (warningNames.size() < 10)
                warningNames.push_back(name(s, showStore) + " (" + s.reasons.front() + ")");
        }
    }
    const auto listed = [](const std::vector<std::string> &names, int count) {
        std::string out = joined(names, ", ");
        if (count > int(names.size()))
            out += " and " + std::to_string(count - int(names.size())) + " more";
        return out;
    };
    Check c;
    c.exitCode = down > critAbove ? 2 : (down + warning > warnAbove ? 1 : 0);
    static const char *const words[] = {"OK", "WARNING", "CRITICAL"};
    const int total = int(stations.size());
    std::string text = std::string("FLEET ") + words[c.exitCode] + " - ";
    if (down == 0 && warning == 0)
        text += std::to_string(total) + " stations ok";
    if (down > 0)
        text += std::to_string(down) + " of " + std::to_string(total) + " down: " + listed(downNames, down);
    if (warning > 0)
        text += std::string(down > 0 ? "; " : "") + std::to_string(warning) + " of " + std::to_string(total) +
                " with warnings: " + listed(warningNames, warning);
    // Nagios ranges: a bare number N alerts above N.
    const std::string max = std::to_string(total);
    text += " | stations=" + max + ";;;0 ok=" + std::to_string(total - down - warning) + ";;;0;" + max +
            " warning=" + std::to_string(warning) + ";" + std::to_string(warnAbove) + ";;0;" + max +
            " down=" + std::to_string(down) + ";;" + std::to_string(critAbove) + ";0;" + max;
    // The status line is one line whatever the texts hold.
    for (char &ch : text)
        if (ch == '\n' || ch == '\r')
            ch = ' ';
    c.line = text;
    return c;
}

} // namespace fleet
