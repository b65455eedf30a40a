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
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
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
    "  -w, --warning=RANGE      WARNING when the stations not ok are outside RANGE\n"
    "                           (default 0: more than none)\n"
    "  -c, --critical=RANGE     CRITICAL when the stations down are outside RANGE (default 0);\n"
    "                           RANGE as the plugin guidelines: 10, 10:, ~:10, 10:20, @10:20\n"
    "      --bound=S            a heartbeat older than S seconds is a till down (default 75)\n"
    "      --receipt-age=S      a receipt waiting longer than S seconds is a warning (default 60)\n"
    "      --crash-failures=N   a program that failed N times ... (default 3)\n"
    "      --crash-window=S     ... the last time within S seconds is crashing (default 600)\n"
    "      --timeout=S          a store that does not answer within S seconds is down (default 10)\n"
    "      --help               show this text\n"
    "      --version            show the version\n";

struct StoreAddress {
    std::string label;
    // A connection string (or URI, or database name), or a service's name.
    std::string conninfo;
    bool service = false;
};

struct Options {
    std::vector<StoreAddress> stores;
    enum { Table, Json, Check, Watch } mode = Table;
    double intervalS = 2;
    fleet::Range warning = *fleet::parseRange("0"), critical = *fleet::parseRange("0");
    fleet::Limits limits;
    // The first thing wrong with the command line, if anything is.
    std::string error;
};

// A year: no bound of the office's is longer, and none overflows.
constexpr double kLongest = 366 * 86400.0;

// A number within [min, max]; whole when `whole`. `error` says it when not.
double number(const char *option, const char *text, double min, double max, bool whole, std::string &error)
{
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (!*text || *end || !(v >= min && v <= max) || (whole && v != std::floor(v))) {
        char range[64];
        std::snprintf(range, sizeof range, "%s from %g to %g", whole ? "a whole number" : "a number", min, max);
        if (error.empty())
            error = std::string("--") + option + " wants " + range + ", not \"" + text + "\"";
        return min;
    }
    return v;
}

// A service's name as pg_service.conf heads its section: nothing that a
// connection string would read as a setting of its own.
bool serviceName(const std::string &name)
{
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
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
    std::string &error = o.error;
    const auto fail = [&](const std::string &what) {
        if (error.empty())
            error = what;
    };
    const auto range = [&](const char *option, fleet::Range &r) {
        if (const auto parsed = fleet::parseRange(optarg))
            r = *parsed;
        else
            fail(std::string(option) + " wants a threshold range (10, 10:, ~:10, 10:20 or @10:20), not \"" +
                 optarg + "\"");
    };
    opterr = 0;
    // Every option is read before a fault is told: --check, wherever it
    // stands, says how (on stdout, as UNKNOWN).
    for (int c; (c = getopt_long(argc, argv, ":d:s:w:c:", longOptions, nullptr)) != -1;) {
        switch (c) {
        case 'd': o.stores.push_back({std::string(), optarg, false}); break;
        case 's':
            if (!serviceName(optarg))
                fail(std::string("-s wants the name of a libpq service (letters, digits, \".\", \"_\", \"-\"), "
                                 "not \"") + optarg + "\"; give connection settings with -d");
            o.stores.push_back({optarg, optarg, true});
            break;
        case Json: o.mode = Options::Json; ++modes; break;
        case CheckOpt: o.mode = Options::Check; ++modes; break;
        case WatchOpt: o.mode = Options::Watch; ++modes; break;
        case Interval: o.intervalS = number("interval", optarg, 1, 3600, false, error); break;
        case 'w': range("-w", o.warning); break;
        case 'c': range("-c", o.critical); break;
        case Bound: o.limits.boundS = number("bound", optarg, 1, kLongest, false, error); break;
        case ReceiptAge: o.limits.receiptAgeS = number("receipt-age", optarg, 0, kLongest, false, error); break;
        case CrashFailures:
            o.limits.crashFailures = int(number("crash-failures", optarg, 1, 1000000, true, error));
            break;
        case CrashWindow: o.limits.crashWindowS = number("crash-window", optarg, 1, kLongest, false, error); break;
        case Timeout: o.limits.timeoutS = int(number("timeout", optarg, 1, 3600, true, error)); break;
        case Help: std::cout << kUsage; std::exit(0);
        case Version: std::cout << "korvantis-fleet " KV_VERSION "\n"; std::exit(0);
        case ':': fail(std::string("option ") + argv[optind - 1] + " needs a value"); break;
        default: fail(std::string("unknown option ") + argv[optind - 1]);
        }
    }
    if (optind < argc)
        fail(std::string("unexpected argument \"") + argv[optind] + "\"");
    if (modes > 1)
        fail("--json, --check and --watch exclude each other");
    if (o.stores.empty())
        o.stores.push_back({});
    return o;
}

// libpq checks a root certificate only when it verifies the server, and
// reads a revocation list only when the file is there: a name that misses
// its file would quietly mean less checking. So such a name stops the
// command before it connects anywhere.
std::string missingTlsFile(const std::vector<StoreAddress> &stores)
{
    struct Setting {
        const char *variable, *keyword;
        bool directory;
    };
    static const Setting settings[] = {{"PGSSLROOTCERT", "sslrootcert", false},
                                       {"PGSSLCRL", "sslcrl", false},
                                       {"PGSSLCRLDIR", "sslcrldir", true},
                                       {"PGSSLCERT", "sslcert", false}};
    const auto problem = [](const std::string &where, const std::string &path, bool directory) -> std::string {
        // libpq's own word for the system's certificate authorities.
        if (path.empty() || path == "system")
            return {};
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || ::access(path.c_str(), R_OK) != 0)
            return where + " names \"" + path + "\", which cannot be read: " + std::strerror(errno);
        if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
            return where + " names \"" + path + "\", which is not a " + (directory ? "directory" : "file");
        return {};
    };
    for (const Setting &s : settings)
        if (const char *v = std::getenv(s.variable); v)
            if (std::string p = problem(s.variable, v, s.directory); !p.empty())
                return p;
    // A -d text's own settings (never echoed: it may hold a password).
    for (const StoreAddress &store : stores) {
        if (store.service || store.conninfo.empty())
            continue;
        PQconninfoOption *options = PQconninfoParse(store.conninfo.c_str(), nullptr);
        std::string p;
        for (PQconninfoOption *o = options; o && o->keyword && p.empty(); ++o)
            for (const Setting &s : settings)
                if (o->val && std::strcmp(o->keyword, s.keyword) == 0)
                    p = problem(std::string(s.keyword) + " in a -d connection string", o->val, s.directory);
        PQconninfoFree(options);
        if (!p.empty())
            return p;
    }
    return {};
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
    explicit Store(StoreAddress address) : m_label(address.label), m_address(std::move(address)) {}
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
            out.assign(1, fleet::storeDown(m_label, error));
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
        // The rows are read as UTF-8 whatever PGCLIENTENCODING says: a
        // till's text the office's encoding lacks must not fail the statement.
        keys.push_back("client_encoding");
        values.push_back("UTF8");
        // A service by its keyword alone: its name is never read as settings.
        keys.push_back(m_address.service ? "service" : "dbname");
        values.push_back(m_address.conninfo.c_str());
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
        if (!PQsendQueryParams(m_conn, fleet::kQuery, 0, nullptr, nullptr, nullptr, nullptr, 0)) {
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
                    out.push_back(fleet::readRow(m_label, std::atof(PQgetvalue(r, i, 0)), PQgetvalue(r, i, 1)));
            }
            PQclear(r);
        }
        return ok;
    }

    std::string m_label;
    StoreAddress m_address;
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
    bool usage = !o.error.empty();
    if (!usage)
        o.error = missingTlsFile(o.stores);
    if (!o.error.empty()) {
        // A monitoring engine reads stdout only.
        if (o.mode == Options::Check)
            std::cout << fleet::unknownLine(o.error) << "\n";
        else
            std::cerr << "korvantis-fleet: " << o.error << (usage ? "\nTry \"korvantis-fleet --help\"." : "") << "\n";
        return kUnknown;
    }
    std::vector<std::unique_ptr<Store>> stores;
    for (const StoreAddress &address : o.stores)
        stores.push_back(std::make_unique<Store>(address));
    const bool showStore = stores.size() > 1;
    switch (o.mode) {
    case Options::Table: {
        std::cout << fleet::table(readAll(stores, o.limits), showStore);
        return 0;
    }
    case Options::Json:
        std::cout << fleet::json(readAll(stores, o.limits));
        return 0;
    case Options::Check:
        try {
            const fleet::Check c = fleet::check(readAll(stores, o.limits), o.warning, o.critical, showStore);
            std::cout << c.line << "\n";
            return c.exitCode;
        } catch (const std::exception &e) {
            std::cout << fleet::unknownLine(e.what()) << "\n";
            return kUnknown;
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
