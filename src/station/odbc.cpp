#include "station/odbc.h"

#include "station/driveroptions.h"

#include "platform/socketwatch.h"


#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <utility>

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the wide ODBC API must be UTF-16 to hand QString through");

namespace kv::odbc {

namespace {

const SQLWCHAR *wide(const QString &s)
{
    return reinterpret_cast<const SQLWCHAR *>(s.utf16());
}

QString fromWide(const SQLWCHAR *s, qsizetype chars)
{
    return QString::fromUtf16(reinterpret_cast<const char16_t *>(s), chars);
}

QString trimmedEnd(QString s)
{
    while (!s.isEmpty() && (s.back() == QLatin1Char('\n') || s.back() == QLatin1Char('\r') ||
                            s.back() == QLatin1Char(' ') || s.back() == QLatin1Char('\t')))
        s.chop(1);
    return s;
}

// libpq's words for a server that could not prove who it is: OpenSSL refused
// its certificate chain (unknown issuer, expired, revoked), the names in it
// are not the host's, or there is nothing to check it against.
bool isUntrustedServer(const QString &text)
{
    for (const char *words : {"certificate verify failed", "does not match host name", "root certificate file",
                              "could not get server's host name from server certificate",
                              "server certificate for"}) {
        if (text.contains(QLatin1String(words)))
            return true;
    }
    return false;
}

// The first diagnostic record of a failed call, which names what went wrong;
// later records only repeat or add context.
Error diagnose(SQLSMALLINT type, SQLHANDLE handle, const char *what)
{
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    std::vector<SQLWCHAR> msg(4096);
    SQLSMALLINT len = 0;
    if (handle && SQL_SUCCEEDED(SQLGetDiagRecW(type, handle, 1, state, &native, msg.data(),
                                               SQLSMALLINT(msg.size()), &len))) {
        const qsizetype chars = std::min<qsizetype>(len, qsizetype(msg.size()) - 1);
        const QString description = trimmedEnd(fromWide(msg.data(), chars));
        const QString sqlState = fromWide(state, 5);
        if (isUntrustedServer(description))
            return Error(kProviderError, QLatin1String(kUntrustedServer) + description, sqlState, int(native));
        // A statement that outran the statement_timeout we asked for.
        if (sqlState == QLatin1String("57014"))
            return Error(kTimeoutError, description, sqlState, int(native));
        // A pooler (PgBouncer) that checks the password itself says so in
        // words of its own; a certificate log-in fails in others.
        const bool auth = description.contains(QLatin1String("password authentication failed")) ||
                          description.contains(QLatin1String("SASL authentication failed")) ||
                          description.contains(QLatin1String("no password supplied")) ||
                          description.contains(QLatin1String("certificate authentication failed")) ||
                          description.contains(QLatin1String("requires a valid client certificate"));
        return Error(auth ? kAuthenticationError : kProviderError, description, sqlState, int(native));
    }
    return Error(kProviderError, QStringLiteral("%1 failed without a diagnostic").arg(QLatin1String(what)),
                 QStringLiteral("HY000"));
}

void check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const char *what)
{
    if (!SQL_SUCCEEDED(rc))
        throw diagnose(type, handle, what);
}

bool isNumericType(SQLSMALLINT t)
{
    switch (t) {
    case SQL_NUMERIC: case SQL_DECIMAL: case SQL_INTEGER: case SQL_SMALLINT: case SQL_BIGINT:
    case SQL_TINYINT: case SQL_FLOAT: case SQL_REAL: case SQL_DOUBLE: case SQL_BIT:
        return true;
    default:
        return false;
    }
}

// Runs `call` on this thread under the thread's deadline watch: when it has
// not returned within `limitMs`, the link to `server` it waits on is cut. True
// in `cut` when it was.
template <typename Call>
SQLRETURN withLimit(int limitMs, const platform::Peer &server, bool &cut, Call call)
{
    cut = false;
    platform::DeadlineWatch *watch = limitMs > 0 ? platform::DeadlineWatch::forThisThread() : nullptr;
    // No thread to spare: the call still runs, only unguarded.
    if (!watch)
        return call();
    watch->arm(std::chrono::milliseconds(limitMs), server);
    const SQLRETURN rc = call();
    cut = watch->disarm();
    return rc;
}

// ODBC's query timeout, in whole seconds, for a statement deadline: a little
// below it, so that the server's cancel arrives before the cut. 0: none.
SQLULEN queryTimeoutSeconds(int deadlineMs)
{
    return deadlineMs > 1500 ? SQLULEN((deadlineMs - 500) / 1000) : 0;
}

Error closedError()
{
    return Error(kObjectClosed, QStringLiteral("Operation is not allowed when the object is closed."));
}

} // namespace

Error::Error(int number, QString description, QString sqlState, int nativeError)
    : std::runtime_error(description.toStdString()), m_number(number), m_description(std::move(description)),
      m_sqlState(std::move(sqlState)), m_native(nativeError)
{
}

double Value::toDouble(bool *ok) const
{
    bool good = false;
    double d = 0;
    if (m_kind != Kind::Null)
        d = m_text.trimmed().toDouble(&good);
    if (!good || !std::isfinite(d)) {
        good = false;
        d = 0;
    }
    if (ok)
        *ok = good;
    return d;
}

qint64 Value::toInt64(bool *ok) const
{
    bool good = false;
    qint64 n = 0;
    if (m_kind != Kind::Null) {
        // Whole numbers beyond 2^53 stay exact this way.
        n = m_text.trimmed().toLongLong(&good);
        if (!good) {
            const double d = std::nearbyint(toDouble(&good));
            good = good && d >= -9.2233720368547758e18 && d < 9.2233720368547758e18;
            n = good ? qint64(d) : 0;
        }
    }
    if (ok)
        *ok = good;
    return n;
}

namespace detail {

struct StatementState;

struct ConnectionState {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool connected = false;
    // True once a deadline cut the link: nothing more will come over it.
    bool linkCut = false;
    // The server, to tell the connection's socket from others a thread waits on.
    platform::Peer server;
    int deadlineMs = kDefaultStatementDeadlineMs;
    int serverTimeoutMs = 0;
    std::vector<std::weak_ptr<StatementState>> statements;

    ConnectionState() = default;
    ConnectionState(const ConnectionState &) = delete;
    ConnectionState &operator=(const ConnectionState &) = delete;
    ~ConnectionState();
    void close() noexcept;

    // Runs one driver call that may wait for the server, cutting the link
    // when the deadline passes first. Returns the call's result, or throws
    // the timeout error when it had to cut.
    template <typename Call>
    SQLRETURN guarded(Call call);
};

struct StatementState {
    std::shared_ptr<ConnectionState> conn;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    QStringList names;
    std::vector<bool> numeric;
    QList<Value> row;
    bool eof = true;

    StatementState() = default;
    StatementState(const StatementState &) = delete;
    StatementState &operator=(const StatementState &) = delete;
    ~StatementState() { release(); }

    void release() noexcept
    {
        if (stmt != SQL_NULL_HSTMT) {
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
            stmt = SQL_NULL_HSTMT;
        }
        row.clear();
        eof = true;
    }

    void fetch();
    Value readColumn(SQLUSMALLINT column);
};

ConnectionState::~ConnectionState()
{
    close();
    if (dbc != SQL_NULL_HDBC)
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV)
        SQLFreeHandle(SQL_HANDLE_ENV, env);
}

void ConnectionState::close() noexcept
{
    for (auto &weak : statements) {
        if (auto s = weak.lock())
            s->release();
    }
    statements.clear();
    if (connected) {
        SQLDisconnect(dbc);
        connected = false;
    }
}

template <typename Call>
SQLRETURN ConnectionState::guarded(Call call)
{
    // The blocked read in the driver sees end of file at once and the call
    // returns with a lost-connection error.
    bool cut = false;
    const SQLRETURN rc = withLimit(deadlineMs, server, cut, call);
    if (cut) {
        linkCut = true;
        // The answer came just as the deadline passed: what the server did
        // is done (an INSERT committed), so report it as it is.
        if (SQL_SUCCEEDED(rc))
            return rc;
        throw Error(kTimeoutError,
                    QStringLiteral("The database server did not answer within %1 seconds.")
                        .arg(QString::number(deadlineMs / 1000.0)),
                    QStringLiteral("HYT00"));
    }
    return rc;
}

void StatementState::fetch()
{
    row.clear();
    const SQLRETURN rc = conn->guarded([&] { return SQLFetch(stmt); });
    if (rc == SQL_NO_DATA) {
        eof = true;
        return;
    }
    check(rc, SQL_HANDLE_STMT, stmt, "SQLFetch");
    eof = false;
    // Columns are read in order, as forward-only drivers require.
    for (qsizetype c = 0; c < names.size(); ++c)
        row.append(readColumn(SQLUSMALLINT(c + 1)));
}

Value StatementState::readColumn(SQLUSMALLINT column)
{
    QString text;
    SQLWCHAR buf[512];
    for (;;) {
        SQLLEN ind = 0;
        const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_WCHAR, buf, sizeof buf, &ind);
        if (rc == SQL_NO_DATA)
            break;
        check(rc, SQL_HANDLE_STMT, stmt, "SQLGetData");
        if (ind == SQL_NULL_DATA)
            return Value::null();
        const qsizetype room = qsizetype(sizeof buf / sizeof buf[0]) - 1;
        const qsizetype got = (ind == SQL_NO_TOTAL || ind / qsizetype(sizeof(SQLWCHAR)) > room)
                                  ? room
                                  : qsizetype(ind / qsizetype(sizeof(SQLWCHAR)));
        text += fromWide(buf, got);
        if (rc == SQL_SUCCESS)
            break;
    }
    return numeric[column - 1] ? Value::number(text) : Value::text(text);
}

} // namespace detail

// ---------------------------------------------------------------- Connection

Connection::Connection() : m_state(std::make_shared<detail::ConnectionState>()) {}
// Recordsets share the connection's state, so it may outlive this object:
// the connection itself ends here all the same.
Connection::~Connection()
{
    close();
}

Connection::Connection(Connection &&) noexcept = default;

Connection &Connection::operator=(Connection &&other) noexcept
{
    if (this != &other) {
        close();
        m_state = std::move(other.m_state);
    }
    return *this;
}

void Connection::open(const QString &connectionText)
{
    const int deadline = statementDeadlineMs();
    const int serverTimeout = m_state ? m_state->serverTimeoutMs : 0;
    close();
    // An empty server names none: the driver would try the local socket as
    // the desktop user. Such a setting reaches nothing, as anywhere else.
    if (serverOf(connectionText).empty())
        throw Error(kProviderError, QStringLiteral("No database server is named: the server setting is empty."),
                    QStringLiteral("08001"));
    // A fresh state each time: recordsets of an earlier opening keep theirs.
    auto state = std::make_shared<detail::ConnectionState>();
    state->deadlineMs = deadline;
    state->serverTimeoutMs = serverTimeout;
    m_state = state;

    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &state->env)))
        throw Error(kProviderError, QStringLiteral("The ODBC driver manager could not be initialised."),
                    QStringLiteral("HY001"));
    check(SQLSetEnvAttr(state->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
          SQL_HANDLE_ENV, state->env, "SQLSetEnvAttr");
    check(SQLAllocHandle(SQL_HANDLE_DBC, state->env, &state->dbc), SQL_HANDLE_ENV, state->env, "SQLAllocHandle");
    check(SQLSetConnectAttrW(state->dbc, SQL_ATTR_LOGIN_TIMEOUT,
                             reinterpret_cast<SQLPOINTER>(std::intptr_t(kLoginTimeoutSeconds)), 0),
          SQL_HANDLE_DBC, state->dbc, "SQLSetConnectAttr");

    state->server = platform::postgresPeer(serverOf(connectionText));
    const QString driverText = withDriverOptions(connectionText, deadline);
    const auto connect = [&] {
        return SQLDriverConnectW(state->dbc, nullptr, const_cast<SQLWCHAR *>(wide(driverText)), SQL_NTS,
                                 nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    };
    // The login timeout ends only the connect itself: the driver then runs
    // statements of its own on the new link, and a server that freezes just
    // after the login would hold the open for ever. Once the login timeout and
    // the statement deadline have both passed, the new link is cut.
    bool cut = false;
    const SQLRETURN rc =
        withLimit(deadline <= 0 ? 0 : kLoginTimeoutSeconds * 1000 + deadline, state->server, cut, connect);
    if (cut && !SQL_SUCCEEDED(rc))
        throw Error(kTimeoutError,
                    QStringLiteral("The database server did not answer within %1 seconds.")
                        .arg(QString::number(kLoginTimeoutSeconds + deadline / 1000.0)),
                    QStringLiteral("HYT00"));
    check(rc, SQL_HANDLE_DBC, state->dbc, "SQLDriverConnect");
    state->connected = true;
    // Answered just as the link was cut: the next statement fails at once.
    state->linkCut = cut;
}

bool Connection::isOpen() const
{
    return m_state && m_state->connected;
}

void Connection::close() noexcept
{
    if (m_state)
        m_state->close();
}

void Connection::setStatementDeadlineMs(int ms)
{
    if (!m_state)
        m_state = std::make_shared<detail::ConnectionState>();
    m_state->deadlineMs = ms;
}

void Connection::setServerTimeoutMs(int ms)
{
    if (!m_state)
        m_state = std::make_shared<detail::ConnectionState>();
    m_state->serverTimeoutMs = ms;
}

int Connection::statementDeadlineMs() const
{
    return m_state ? m_state->deadlineMs : kDefaultStatementDeadlineMs;
}

// ----------------------------------------------------------------- Recordset

Recordset::Recordset() = default;
Recordset::~Recordset() = default;
Recordset::Recordset(Recordset &&) noexcept = default;
Recordset &Recordset::operator=(Recordset &&) noexcept = default;

std::shared_ptr<detail::StatementState> Connection::run(const QString &sql)
{
    if (!isOpen())
        throw closedError();
    auto conn = m_state;
    if (conn->linkCut)
        throw Error(kProviderError, QStringLiteral("The connection to the database server was lost."),
                    QStringLiteral("08S01"));

    auto s = std::make_shared<detail::StatementState>();
    s->conn = conn;
    check(SQLAllocHandle(SQL_HANDLE_STMT, conn->dbc, &s->stmt), SQL_HANDLE_DBC, conn->dbc, "SQLAllocHandle");
    // A long-lived connection (the watchdog's) runs statements for days.
    std::erase_if(conn->statements, [](const std::weak_ptr<detail::StatementState> &w) { return w.expired(); });
    conn->statements.push_back(s);
    // Set once per connection by the driver, and again only when it changes.
    const int serverTimeoutMs = conn->serverTimeoutMs > 0 ? conn->serverTimeoutMs : conn->deadlineMs;
    if (const SQLULEN seconds = queryTimeoutSeconds(serverTimeoutMs))
        check(SQLSetStmtAttrW(s->stmt, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(seconds), 0),
              SQL_HANDLE_STMT, s->stmt, "SQLSetStmtAttr");

    const SQLRETURN rc = conn->guarded([&] {
        return SQLExecDirectW(s->stmt, const_cast<SQLWCHAR *>(wide(sql)), SQL_NTS);
    });
    // No rows affected is not a failure.
    if (rc != SQL_NO_DATA)
        check(rc, SQL_HANDLE_STMT, s->stmt, "SQLExecDirect");
    return s;
}

void execute(const QString &sql, Connection &connection)
{
    // The driver has read the whole answer when the call returns; the
    // handle is freed here.
    connection.run(sql);
}

void Recordset::open(const QString &sql, Connection &connection)
{
    close();
    std::shared_ptr<detail::StatementState> s = connection.run(sql);

    SQLSMALLINT columns = 0;
    check(SQLNumResultCols(s->stmt, &columns), SQL_HANDLE_STMT, s->stmt, "SQLNumResultCols");
    if (columns <= 0)
        return; // s goes out of scope: the statement handle is freed, the recordset stays closed

    for (SQLUSMALLINT c = 1; c <= SQLUSMALLINT(columns); ++c) {
        SQLWCHAR name[256] = {};
        SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        check(SQLDescribeColW(s->stmt, c, name, SQLSMALLINT(std::size(name)), &nameLen, &type, &size, &digits,
                              &nullable),
              SQL_HANDLE_STMT, s->stmt, "SQLDescribeCol");
        s->names.append(fromWide(name, std::min<qsizetype>(nameLen, qsizetype(std::size(name)) - 1)));
        s->numeric.push_back(isNumericType(type));
    }
    s->fetch();
    m_state = std::move(s);
}

bool Recordset::isOpen() const
{
    return m_state && m_state->stmt != SQL_NULL_HSTMT;
}

void Recordset::close() noexcept
{
    if (m_state)
        m_state->release();
    m_state.reset();
}

bool Recordset::eof() const
{
    if (!isOpen())
        throw closedError();
    return m_state->eof;
}

void Recordset::moveNext()
{
    if (!isOpen())
        throw closedError();
    if (m_state->eof)
        throw Error(kNoCurrentRecord,
                    QStringLiteral("Either BOF or EOF is True, or the current record has been deleted. "
                                   "Requested operation requires a current record."));
    m_state->fetch();
}

Value Recordset::field(const QString &name) const
{
    if (!isOpen())
        throw closedError();
    qsizetype index = -1;
    for (qsizetype i = 0; i < m_state->names.size() && index < 0; ++i) {
        if (m_state->names[i].compare(name, Qt::CaseInsensitive) == 0)
            index = i;
    }
    if (index < 0)
        throw Error(kItemNotFound,
                    QStringLiteral("Item cannot be found in the collection corresponding to the requested "
                                   "name or ordinal."));
    if (m_state->eof)
        throw Error(kNoCurrentRecord,
                    QStringLiteral("Either BOF or EOF is True, or the current record has been deleted. "
                                   "Requested operation requires a current record."));
    return m_state->row[index];
}

QStringList Recordset::columnNames() const
{
    return m_state ? m_state->names : QStringList();
}

} // namespace kv::odbc
