// korvantis-fleet [-d CONNINFO]... [--service NAME]... [--json | --check | --watch] [options]
//
// Connects as psql does: without -d, libpq takes PGHOST, PGPORT, PGDATABASE,
// PGUSER, PGPASSWORD, ~/.pgpass, PGSERVICE and the PGSSL* variables; a -d
// text may be a connection string or URI and is completed from the same.
// Several stores (a database each) are read side by side.
#include "fleet.h"

#include <libpq-fe.h>

#include <getopt.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kUnknown = 3;

const char *const kUsage =
    "Usage: korvantis-fleet [OPTION]...\n"
    "Shows every till of one or more stores as their launchers report it, worst first.\n"
    "Connects as psql does (PGHOST, PGPORT, PGDATABASE, PGUSER, PGPASSWORD, ~/.pgpass,\n"
    "PGSERVICE, PGSSLMODE ...) unless told otherwise.\n"
    "\n"
    "  -d, --dbname=CONNINFO    a store's database (connection string, URI or name);\n"
    "                           give it again for each store of a chain\n"
    "  -s, --service=NAME       a store's database as a libpq service (pg_service.conf)\n"
    "      --json               one JSON array of the stations, for scripts\n"
    "      --check              answer as a monitoring plugin (exit 0 OK, 1 WARNING,\n"
    "                           2 CRITICAL, 3 UNKNOWN)\n"
    "      --watch              redraw the table every few seconds\n"
    "      --interval=S         seconds between redraws (default 2)\n"
    "  -w, --warning=N          WARNING when more than N stations are not ok (default 0)\n"
    "  -c, --critical=N         CRITICAL when more than N stations are down (default 0)\n"
    "      --bound=S            a heartbeat older than S seconds is a till down (default 60)\n"
    "      --receipt-age=S      a receipt waiting longer than S seconds is a warning (default 60)\n"
    "      --crash-failures=N   a program that failed N times ... (default 3)\n"
    "      --crash-window=S     ... the last time within S seconds is crashing (default 600)\n"
    "      --timeout=S          a store that does not answer within S seconds is down (default 10)\n"
    "      --help               show this text\n"
    "      --version            show the version\n";

struct Options {
    std::vector<std::pair<std::string, std::string>> stores; // label (may be empty), conninfo
    enum { Table, Json, Check, Watch } mode = Table;
    double intervalS = 2;
    int warnAbove = 0, critAbove = 0;
    fleet::Limits limits;
};

[[noreturn]] void usageError(const std::string &what)
{
    std::cerr << "korvantis-fleet: " << what << "\nTry \"korvantis-fleet --help\".\n";
    std::exit(kUnknown);
}

double number(const char *option, const char *text, double min)
{
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (!*text || *end || !(v >= min))
        usageError(std::string("--") + option + " wants a number of at least " + std::to_string(int(min)) +
                   ", not \"" + text + "\"");
    return v;
}

Options parse(int argc, char **argv)
{
    Options o;
    enum { Json = 1000, CheckOpt, WatchOpt, Interval, Bound, ReceiptAge, CrashFailures, CrashWindow, Timeout, Help,
           Version };
    static const option longOptions[] = {
        {"dbname", required_argument, nullptr, 'd'},
        {"service", required_argument, nullptr, 's'},
        {"json", no_argument, nullptr, Json},
        {"check", no_argument, nullptr, CheckOpt},
        {"watch", no_argument, nullptr, WatchOpt},
        {"interval", required_argument, nullptr, Interval},
        {"warning", required_argument, nullptr, 'w'},
        {"critical", required_argument, nullptr, 'c'},
        {"bound", required_argument, nullptr, Bound},
        {"receipt-age", required_argument, nullptr, ReceiptAge},
        {"crash-failures", required_argument, nullptr, CrashFailures},
        {"crash-window", required_argument, nullptr, CrashWindow},
        {"timeout", required_argument, nullptr, Timeout},
        {"help", no_argument, nullptr, Help},
        {"version", no_argument, nullptr, Version},
        {nullptr, 0, nullptr, 0},
    };
    int modes = 0;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":d:s:w:c:", longOptions, nullptr)) != -1;) {
        switch (c) {
        case 'd': o.stores.emplace_back(std::string(), optarg); break;
        case 's': o.stores.emplace_back(optarg, std::string("service=") + optarg); break;
        case Json: o.mode = Options::Json; ++modes; break;
        case CheckOpt: o.mode = Options::Check; ++modes; break;
        case WatchOpt: o.mode = Options::Watch; ++modes; break;
        case Interval: o.intervalS = number("interval", optarg, 1); break;
        case 'w': o.warnAbove = int(number("warning", optarg, 0)); break;
        case 'c': o.critAbove = int(number("critical", optarg, 0)); break;
        case Bound: o.limits.boundS = number("bound", optarg, 1); break;
        case ReceiptAge: o.limits.receiptAgeS = number("receipt-age", optarg, 0); break;
        case CrashFailures: o.limits.crashFailures = int(number("crash-failures", optarg, 1)); break;
        case CrashWindow: o.limits.crashWindowS = number("crash-window", optarg, 1); break;
        case Timeout: o.limits.timeoutS = int(number("timeout", optarg, 1)); break;
        case Help: std::cout << kUsage; std::exit(0);
        case Version: std::cout << "korvantis-fleet " KV_VERSION "\n"; std::exit(0);
        case ':': usageError(std::string("option ") + argv[optind - 1] + " needs a value");
        default: usageError(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    if (optind < argc)
        usageError(std::string("unexpected argument \"") + argv[optind] + "\"");
    if (modes > 1)
        usageError("--json, --check and --watch exclude each other");
    if (o.stores.empty())
        o.stores.emplace_back(std::string(), std::string());
    return o;
}

std::string firstLine(const char *text)
{
    std::string s = text ? text : "";
    if (s.rfind("ERROR:  ", 0) == 0)
        s.erase(0, 8);
    const std::size_t nl = s.find('\n');
    return nl == std::string::npos ? s : s.substr(0, nl);
}

using Clock = std::chrono::steady_clock;

// One store's database: a connection kept while it works, made afresh when not.
class Store {
public:
    Store(std::string label, std::string conninfo) : m_label(std::move(label)), m_conninfo(std::move(conninfo)) {}
    ~Store() { drop(); }
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    const std::string &label() const { return m_label; }

    // The store's stations, or one row that says why there are none.
    std::vector<fleet::Station> read(const fleet::Limits &limits)
    {
        std::vector<fleet::Station> out;
        std::string error;
        const auto deadline = Clock::now() + std::chrono::seconds(limits.timeoutS);
        if (!connected(limits, error) || !query(limits, deadline, out, error)) {
            drop();
            fleet::Station s;
            s.store = m_label;
            s.storeError = error;
            out.assign(1, s);
        }
        return out;
    }

private:
    void drop()
    {
        if (m_conn)
            PQfinish(m_conn);
        m_conn = nullptr;
    }

    bool connected(const fleet::Limits &limits, std::string &error)
    {
        if (m_conn && PQstatus(m_conn) == CONNECTION_OK)
            return true;
        drop();
        // A connect_timeout of the user's (PGCONNECT_TIMEOUT, the text's own)
        // wins: keywords later in the list override earlier ones.
        const std::string timeout = std::to_string(limits.timeoutS);
        std::vector<const char *> keys, values;
        if (!std::getenv("PGCONNECT_TIMEOUT")) {
            keys.push_back("connect_timeout");
            values.push_back(timeout.c_str());
        }
        keys.push_back("fallback_application_name");
        values.push_back("korvantis-fleet");
        keys.push_back("dbname");
        values.push_back(m_conninfo.c_str());
        keys.push_back(nullptr);
        values.push_back(nullptr);
        m_conn = PQconnectdbParams(keys.data(), values.data(), 1);
        if (m_label.empty() && m_conn) {
            const char *host = PQhost(m_conn);
            const char *db = PQdb(m_conn);
            m_label = std::string(db ? db : "") + "@" + (host && *host ? host : "local");
        }
        if (!m_conn || PQstatus(m_conn) != CONNECTION_OK) {
            error = m_conn ? firstLine(PQerrorMessage(m_conn)) : "out of memory";
            if (error.empty())
                error = "cannot connect";
            return false;
        }
        return true;
    }

    // Sent and awaited without blocking, so that a server that stopped
    // answering costs the deadline, not the TCP timeout.
    bool query(const fleet::Limits &limits, Clock::time_point deadline, std::vector<fleet::Station> &out,
               std::string &error)
    {
        const std::string failures = std::to_string(limits.crashFailures);
        const std::string window = std::to_string(limits.crashWindowS);
        const char *params[] = {failures.c_str(), window.c_str(), limits.withPrograms ? "true" : "false"};
        if (!PQsendQueryParams(m_conn, fleet::kQuery, 3, nullptr, params, nullptr, nullptr, 0)) {
            error = firstLine(PQerrorMessage(m_conn));
            return false;
        }
        while (PQisBusy(m_conn)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{PQsocket(m_conn), POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, int(left)) == 0) {
                error = "no answer within " + std::to_string(limits.timeoutS) + " s";
                return false;
            }
            if (!PQconsumeInput(m_conn)) {
                error = firstLine(PQerrorMessage(m_conn));
                return false;
            }
        }
        bool ok = true;
        while (PGresult *r = PQgetResult(m_conn)) {
            if (PQresultStatus(r) != PGRES_TUPLES_OK) {
                if (ok)
                    error = firstLine(PQresultErrorMessage(r));
                ok = false;
            } else {
                for (int i = 0; i < PQntuples(r); ++i)
                    out.push_back(station(r, i));
            }
            PQclear(r);
        }
        return ok;
    }

    fleet::Station station(PGresult *r, int i) const
    {
        const auto text = [&](int column) { return std::string(PQgetvalue(r, i, column)); };
        const auto isNull = [&](int column) { return PQgetisnull(r, i, column) != 0; };
        const auto split = [&](int column) {
            std::vector<std::string> parts;
            const std::string s = text(column);
            for (std::size_t from = 0; !s.empty() && from <= s.size();) {
                const std::size_t to = std::min(s.find('\x1f', from), s.size());
                parts.push_back(s.substr(from, to - from));
                from = to + 1;
            }
            return parts;
        };
        fleet::Station s;
        s.store = m_label;
        s.station = std::atoi(PQgetvalue(r, i, 0));
        s.host = text(1);
        s.version = text(2);
        s.startedAt = text(3);
        s.ageS = std::atof(PQgetvalue(r, i, 4));
        if (!isNull(5))
            s.databaseOk = text(5) == "t";
        s.outages = std::atoi(PQgetvalue(r, i, 6));
        s.printer = text(7);
        s.printerReasons = split(8);
        s.printerError = text(9);
        s.receiptsWaiting = std::atoi(PQgetvalue(r, i, 10));
        if (!isNull(11))
            s.oldestReceiptS = std::atof(PQgetvalue(r, i, 11));
        s.programProblems = split(12);
        s.programsJson = text(13);
        return s;
    }

    std::string m_label;
    std::string m_conninfo;
    PGconn *m_conn = nullptr;
};

// Every store at once: a chain's slowest store sets the pace, not their sum.
std::vector<fleet::Station> readAll(std::vector<std::unique_ptr<Store>> &stores, const fleet::Limits &limits)
{
    std::vector<std::vector<fleet::Station>> found(stores.size());
    if (stores.size() == 1) {
        found[0] = stores[0]->read(limits);
    } else {
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < stores.size(); ++i)
            threads.emplace_back([&, i] { found[i] = stores[i]->read(limits); });
        for (std::thread &t : threads)
            t.join();
    }
    std::vector<fleet::Station> all;
    for (auto &f : found)
        for (fleet::Station &s : f) {
            fleet::judge(s, limits);
            all.push_back(std::move(s));
        }
    fleet::sortWorstFirst(all);
    return all;
}

} // namespace

int main(int argc, char **argv)
{
    Options o = parse(argc, argv);
    o.limits.withPrograms = o.mode == Options::Json;
    std::vector<std::unique_ptr<Store>> stores;
    for (const auto &[label, conninfo] : o.stores)
        stores.push_back(std::make_unique<Store>(label, conninfo));
    const bool showStore = stores.size() > 1;
    switch (o.mode) {
    case Options::Table: {
        std::cout << fleet::table(readAll(stores, o.limits), showStore);
        return 0;
    }
    case Options::Json:
        std::cout << fleet::json(readAll(stores, o.limits));
        return 0;
    case Options::Check: {
        const fleet::Check c = fleet::check(readAll(stores, o.limits), o.warnAbove, o.critAbove, showStore);
        std::cout << c.line << "\n";
        return c.exitCode;
    }
    case Options::Watch:
        for (;;) {
            const auto next = Clock::now() + std::chrono::milliseconds(long(o.intervalS * 1000));
            const std::string text = fleet::table(readAll(stores, o.limits), showStore);
            const std::time_t now = std::time(nullptr);
            char when[64];
            std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
            // Home and clear, then the whole table at once: no flicker of a half-drawn screen.
            std::cout << "\033[H\033[2J" << "korvantis-fleet  " << when << "  (every " << o.intervalS
                      << " s; Ctrl+C ends)\n\n"
                      << text << std::flush;
            std::this_thread::sleep_until(next);
        }
    }
    return 0;
}
