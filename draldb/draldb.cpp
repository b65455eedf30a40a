// The exported C interface: handle tables over Connection and libpq results.
#include "draldb.h"

#include "connection.h"
#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include <unistd.h>

namespace {

using draldb::Connection;

struct ResultSet {
    int32_t connection = 0;
    PGresult *rows = nullptr;
    int current = 0;

    ResultSet() = default;
    ResultSet(const ResultSet &) = delete;
    ResultSet &operator=(const ResultSet &) = delete;
    ~ResultSet() { PQclear(rows); }
};

// Everything the library holds. One lock makes the calls safe from any
// thread; the launcher makes them from one.
constexpr char kPosCommands[] = "poscommands";

struct Library {
    std::mutex lock;
    draldb::Settings settings;
    std::map<int32_t, std::unique_ptr<Connection>> connections;
    std::map<int32_t, std::unique_ptr<ResultSet>> resultSets;
    // The station each connection's configuration named ("" for none).
    std::map<int32_t, std::string> stations;
    int32_t lastConnection = 0;
    int32_t lastResultSet = 0;

    Connection *connection(int32_t handle)
    {
        const auto it = connections.find(handle);
        return it == connections.end() ? nullptr : it->second.get();
    }
    ResultSet *resultSet(int32_t handle)
    {
        const auto it = resultSets.find(handle);
        return it == resultSets.end() ? nullptr : it->second.get();
    }
};

Library &library()
{
    static Library instance;
    return instance;
}

// Handles are positive and not reused while in use, so a stale one never
// reaches another caller's object.
template<class Map>
int32_t nextHandle(int32_t &last, const Map &inUse)
{
    do {
        last = last == INT32_MAX ? 1 : last + 1;
    } while (inUse.count(last));
    return last;
}

char emptyText[1] = {0};

// Callers may rely on never getting NULL, even when memory runs out.
char *giveText(std::string_view text)
{
    if (text.empty())
        return emptyText;
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (!copy)
        return emptyText;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

// A row handle is the row index plus one, so that 0 stays "no row".
int rowOf(const ResultSet &rs, const int32_t *row)
{
    const int index = (row && *row > 0) ? *row - 1 : rs.current;
    return (index >= 0 && index < PQntuples(rs.rows)) ? index : -1;
}

int columnOf(const PGresult *rows, const char *column)
{
    if (!column)
        return -1;
    const int n = PQnfields(rows);
    for (int i = 0; i < n; ++i) {
        if (std::strcmp(PQfname(rows, i), column) == 0)
            return i;
    }
    for (int i = 0; i < n; ++i) {
        if (strcasecmp(PQfname(rows, i), column) == 0)
            return i;
    }
    return -1;
}

} // namespace

extern "C" {

int32_t system_init(const char *frontEndExecutable)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    if (!lib.settings.load(frontEndExecutable ? frontEndExecutable : ""))
        return 0;
    // libpq skips a revocation list, and below verify-ca a root certificate,
    // that is not there: the check would be off without a word.
    for (const char *variable : {"PGSSLROOTCERT", "PGSSLCRL"}) {
        const char *file = std::getenv(variable);
        if (file && *file && ::access(file, F_OK) != 0) {
            std::fprintf(stderr, "<3>draldb: not connecting: %s names \"%s\", which does not exist\n", variable,
                         file);
            return 0;
        }
    }
    auto connection = std::make_unique<Connection>(draldb::ConnectParams{
        lib.settings.value("db_host"), lib.settings.value("db_name"), lib.settings.value("db_username"),
        lib.settings.value("db_password")});
    if (!connection->open())
        return 0;
    const int32_t handle = nextHandle(lib.lastConnection, lib.connections);
    lib.connections.emplace(handle, std::move(connection));
    lib.stations[handle] = lib.settings.value("stationid");
    return handle;
}

int32_t VB_notify_listen(int32_t connection, const char *channel)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    Connection *c = lib.connection(connection);
    if (!c || !channel || !*channel)
        return 0;
    bool taken = c->listen(channel);
    // A receipt's notification may be meant for one station only: it then
    // wakes no other till, and reaches this one as the broadcast would.
    const std::string &station = lib.stations[connection];
    if (std::string_view(channel) == kPosCommands && !station.empty())
        taken = c->listen(std::string(kPosCommands) + "_" + station, kPosCommands) && taken;
    return taken ? 1 : 0;
}

char *VB_notify_check(int32_t connection)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    Connection *c = lib.connection(connection);
    return giveText(c ? c->nextNotification() : std::string());
}

int32_t draldb_pending(int32_t connection)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    Connection *c = lib.connection(connection);
    return c && c->pending() ? 1 : 0;
}

int32_t draldb_relistens(int32_t connection)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    Connection *c = lib.connection(connection);
    return c ? c->relistens() : 0;
}

int32_t draldb_socket(int32_t connection)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    Connection *c = lib.connection(connection);
    return c ? c->socket() : -1;
}

char *config_getvalue(const char *key)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    return giveText(key ? lib.settings.value(key) : std::string());
}

char *VB_new_sql(int32_t connection, const char *sql, int32_t *resultSet, int32_t /*flags*/)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    if (resultSet)
        *resultSet = 0;
    Connection *c = lib.connection(connection);
    if (!c)
        return giveText("unknown connection");
    if (!sql)
        return giveText("no statement");
    auto outcome = c->run(sql);
    if (!outcome.rows)
        return giveText(outcome.error);
    if (!resultSet) {
        PQclear(outcome.rows);
        return giveText("");
    }
    auto rs = std::make_unique<ResultSet>();
    rs->connection = connection;
    rs->rows = outcome.rows;
    const int32_t handle = nextHandle(lib.lastResultSet, lib.resultSets);
    lib.resultSets.emplace(handle, std::move(rs));
    *resultSet = handle;
    return giveText("");
}

int32_t VB_numrecord(int32_t resultSet)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    const ResultSet *rs = lib.resultSet(resultSet);
    return rs ? PQntuples(rs->rows) : 0;
}

int32_t VB_moveto(int32_t resultSet, int32_t rowIndex)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    ResultSet *rs = lib.resultSet(resultSet);
    if (!rs || rowIndex < 0 || rowIndex >= PQntuples(rs->rows))
        return 0;
    rs->current = rowIndex;
    return rowIndex + 1;
}

char *VB_getvalue(int32_t resultSet, const char * /*table*/, const char *column, int32_t *row)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    const ResultSet *rs = lib.resultSet(resultSet);
    if (!rs)
        return giveText("");
    const int r = rowOf(*rs, row);
    const int col = columnOf(rs->rows, column);
    if (r < 0 || col < 0 || PQgetisnull(rs->rows, r, col))
        return giveText("");
    return giveText(std::string_view(PQgetvalue(rs->rows, r, col), std::size_t(PQgetlength(rs->rows, r, col))));
}

char *VB_delete(int32_t resultSet, const char *table, int32_t *row)
{
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    const ResultSet *rs = lib.resultSet(resultSet);
    if (!rs)
        return giveText("unknown result set");
    const int r = rowOf(*rs, row);
    if (r < 0)
        return giveText("no such row");
    const int idColumn = columnOf(rs->rows, "id");
    if (idColumn < 0 || PQgetisnull(rs->rows, r, idColumn))
        return giveText("the row has no id");
    if (!table || !*table)
        return giveText("no table named");
    Connection *c = lib.connection(rs->connection);
    if (!c)
        return giveText("unknown connection");
    // Neither the table name nor the id ever becomes SQL text of its own.
    const auto quoted = c->quoteIdentifier(table);
    if (!quoted)
        return giveText("no connection to the database");
    auto outcome = c->run("DELETE FROM " + *quoted + " WHERE id = $1", {PQgetvalue(rs->rows, r, idColumn)});
    PQclear(outcome.rows);
    return giveText(outcome.error);
}

void VB_free(int32_t *resultSet)
{
    if (!resultSet)
        return;
    auto &lib = library();
    std::lock_guard guard(lib.lock);
    lib.resultSets.erase(*resultSet);
    *resultSet = 0;
}

void draldb_free(char *text)
{
    if (text != emptyText)
        std::free(text);
}

} // extern "C"
