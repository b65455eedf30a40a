#include "fleet.h"

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

// ---- UTF-8 ----

// The code point at text[i] and its length; 0 for a byte that starts no
// valid sequence (overlong forms and surrogates included).
std::size_t decode(std::string_view text, std::size_t i, char32_t &cp)
{
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    std::size_t n;
    char32_t min;
    if ((c & 0xE0) == 0xC0) {
        n = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > text.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const unsigned char d = static_cast<unsigned char>(text[i + k]);
        if ((d & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

void appendUtf8(std::string &out, char32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Characters a terminal would act on or not show: controls (C0, DEL, C1),
// the soft hyphen, zero-width and direction marks, line and paragraph
// separators, bidirectional overrides, the byte-order mark, noncharacters, tags.
bool invisible(char32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xAD || (cp >= 0x200B && cp <= 0x200F) ||
           (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF ||
           (cp >= 0xFFF9 && cp <= 0xFFFB) || (cp & 0xFFFE) == 0xFFFE || (cp >= 0xE0000 && cp <= 0xE007F);
}

std::string hex(const char *format, unsigned value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// Characters on a terminal: every byte of a cleaned text but UTF-8's continuations.
std::size_t columns(std::string_view text)
{
    return std::size_t(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// ---- JSON ----

struct Parser {
    std::string_view in;
    std::size_t at = 0;
    int depth = 0;

    void space()
    {
        while (at < in.size() && (in[at] == ' ' || in[at] == '\t' || in[at] == '\n' || in[at] == '\r'))
            ++at;
    }
    bool literal(std::string_view word)
    {
        if (in.substr(at, word.size()) != word)
            return false;
        at += word.size();
        return true;
    }
    bool hex4(char32_t &v)
    {
        if (at + 4 > in.size())
            return false;
        unsigned u = 0;
        if (std::from_chars(in.data() + at, in.data() + at + 4, u, 16).ptr != in.data() + at + 4)
            return false;
        at += 4;
        v = u;
        return true;
    }
    bool string(std::string &out)
    {
        if (at >= in.size() || in[at] != '"')
            return false;
        ++at;
        while (at < in.size() && in[at] != '"') {
            const char c = in[at++];
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at >= in.size())
                return false;
            const char e = in[at++];
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                char32_t cp;
                if (!hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF && in.substr(at, 2) == "\\u") {
                    const std::size_t back = at;
                    at += 2;
                    char32_t low;
                    if (hex4(low) && low >= 0xDC00 && low <= 0xDFFF)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else
                        at = back;
                }
                // A lone surrogate is no character.
                appendUtf8(out, cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp);
                break;
            }
            default: return false;
            }
        }
        if (at >= in.size())
            return false;
        ++at;
        return true;
    }
    bool value(Json &v)
    {
        // A hostile row must not run the stack out.
        if (++depth > 64)
            return false;
        space();
        bool ok = false;
        if (at >= in.size()) {
            ok = false;
        } else if (in[at] == '{') {
            v.type = Json::Object;
            ++at;
            space();
            ok = at < in.size() && in[at] == '}' && (++at, true);
            while (!ok) {
                std::pair<std::string, Json> m;
                space();
                if (!string(m.first))
                    break;
                space();
                if (at >= in.size() || in[at++] != ':' || !value(m.second))
                    break;
                v.members.push_back(std::move(m));
                space();
                if (at < in.size() && in[at] == ',') {
                    ++at;
                } else {
                    ok = at < in.size() && in[at] == '}';
                    ++at;
                    break;
                }
            }
        } else if (in[at] == '[') {
            v.type = Json::Array;
            ++at;
            space();
            ok = at < in.size() && in[at] == ']' && (++at, true);
            while (!ok) {
                Json item;
                if (!value(item))
                    break;
                v.items.push_back(std::move(item));
                space();
                if (at < in.size() && in[at] == ',') {
                    ++at;
                } else {
                    ok = at < in.size() && in[at] == ']';
                    ++at;
                    break;
                }
            }
        } else if (in[at] == '"') {
            v.type = Json::String;
            ok = string(v.text);
        } else if (literal("true")) {
            v.type = Json::Bool;
            v.boolean = ok = true;
        } else if (literal("false")) {
            v.type = Json::Bool;
            ok = true;
        } else if (literal("null")) {
            ok = true;
        } else if (in[at] == '-' || (in[at] >= '0' && in[at] <= '9')) {
            // A number past a double's range is kept as written (the office
            // sees it), and is no count of ours.
            v.type = Json::Number;
            const auto r = std::from_chars(in.data() + at, in.data() + in.size(), v.number);
            ok = r.ptr != in.data() + at && (r.ec == std::errc() || r.ec == std::errc::result_out_of_range);
            if (r.ec != std::errc())
                v.number = HUGE_VAL;
            v.text.assign(in.data() + at, r.ptr);
            at = std::size_t(r.ptr - in.data());
        }
        --depth;
        return ok;
    }
};

std::string jsonText(std::string_view s)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        std::size_t n = decode(s, i, cp);
        if (n == 0)
            cp = 0xFFFD, n = 1;
        i += n;
        if (cp == '"' || cp == '\\')
            out += '\\', out += char(cp);
        else if (cp == '\n')
            out += "\\n";
        else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029)
            out += hex("\\u%04x", unsigned(cp));
        else
            appendUtf8(out, cp);
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

const Json *Json::find(std::string_view key) const
{
    for (const auto &[k, v] : members)
        if (k == key)
            return &v;
    return nullptr;
}

std::optional<Json> parseJson(std::string_view text)
{
    Parser p{text};
    Json v;
    if (!p.value(v))
        return std::nullopt;
    p.space();
    if (p.at != text.size())
        return std::nullopt;
    return v;
}

std::string toJson(const Json &v)
{
    switch (v.type) {
    case Json::Null: return "null";
    case Json::Bool: return v.boolean ? "true" : "false";
    case Json::Number: return v.text;
    case Json::String: return jsonText(v.text);
    case Json::Array: {
        std::string out = "[";
        for (std::size_t i = 0; i < v.items.size(); ++i)
            out += (i ? ", " : "") + toJson(v.items[i]);
        return out + "]";
    }
    case Json::Object: {
        std::string out = "{";
        for (std::size_t i = 0; i < v.members.size(); ++i)
            out += (i ? ", " : "") + jsonText(v.members[i].first) + ": " + toJson(v.members[i].second);
        return out + "}";
    }
    }
    return "null";
}

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

std::string visible(std::string_view text, std::size_t width, std::string_view alsoEscape)
{
    std::string out;
    std::size_t used = 0;
    // Where "…" goes if the text turns out longer than `width`.
    std::size_t cutAt = std::string::npos;
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp;
        const std::size_t n = decode(text, i, cp);
        std::string piece;
        if (n == 0)
            piece = hex("\\x%02x", static_cast<unsigned char>(text[i]));
        else if (cp == '\\')
            piece = "\\\\";
        else if (cp < 0x80 && (invisible(cp) || alsoEscape.find(char(cp)) != std::string_view::npos))
            piece = hex("\\x%02x", unsigned(cp));
        else if (invisible(cp))
            piece = hex("\\u%04x", unsigned(cp));
        else
            piece.assign(text.substr(i, n));
        i += n ? n : 1;
        const std::size_t w = columns(piece);
        if (cutAt == std::string::npos && used + w + 1 > width)
            cutAt = out.size();
        if (used + w > width) {
            out.resize(cutAt);
            return width ? out + "…" : out;
        }
        out += piece;
        used += w;
    }
    return out;
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
        r.push_back(s.receiptsWaiting == 0 ? "0"
                                           : std::to_string(s.receiptsWaiting) +
                                                 (s.oldestReceiptS ? ", oldest " + seconds(*s.oldestReceiptS) + " s"
                                                                   : std::string()));
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
