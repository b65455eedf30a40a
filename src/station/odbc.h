// The launcher's own database connections: a thin layer over the unixODBC C
// API with just what the launcher asks of a connection and a recordset.
//
//   kv::odbc::Connection conn;
//   conn.open(kv::database::buildConnectionText(settings));      // throws kv::odbc::Error
//   kv::odbc::Recordset rs;
//   rs.open(QStringLiteral("SELECT id, name FROM managedprogram"), conn);
//   for (; rs.isOpen() && !rs.eof(); rs.moveNext())
//       use(rs.field(QStringLiteral("id")).toInt64(), rs.field(QStringLiteral("name")).toString());
//   // leaving the scope closes the recordset, then the connection
//
// Every failure throws kv::odbc::Error and every handle is released on every
// way out. Text crosses through the wide API (UTF-16 on both sides).
//
// Nothing here may hold up the till for long:
//  - opening gives up after kLoginTimeoutSeconds when the server does not
//    answer (the driver turns the login timeout into libpq's connect_timeout);
//  - a statement whose server stops answering is given up after the
//    connection's statement deadline (kDefaultStatementDeadlineMs unless set):
//    the link is cut under the driver, the statement fails with
//    kTimeoutError / SQLSTATE HYT00 and the connection is dead from then on.
//    The server-side statement_timeout that ODBC's query timeout becomes
//    cannot help here, since a stopped server never runs it.
//
// Before that last resort, the standard protections end a call inside the
// driver: every statement carries ODBC's query timeout a little below its
// deadline, or the connection's own (setServerTimeoutMs) where that is set
// (psqlODBC sets statement_timeout for it, so a slow statement is cancelled
// by the server and the link stays usable), and every connection
// has TCP keepalives and a TCP user timeout, so a network that vanished ends
// the connection in the kernel.
//
// The connection text a caller opens with names the server, database, user
// and password only. Two defaults of psqlODBC would undo what a shop sets
// for every PostgreSQL client of the till: it asks libpq for sslmode
// "disable" whatever PGSSLMODE says, and it sets no keepalive timings. So
// open() adds to the text, in the driver's own keywords, what the standard
// libpq variables PGSSLMODE, PGSSLROOTCERT, PGSSLCERT, PGSSLKEY and PGSSLCRL
// set in the environment (each only when set: SSLmode=…, and libpq's own
// parameters through pqopt={…}; without PGSSLMODE, SSLmode=prefer, libpq's
// own default), and the keepalive timings (KeepaliveTime,
// KeepaliveInterval, and keepalives_count and tcp_user_timeout through
// pqopt). A key the caller's text already holds is left as the caller has it.
// A PGSSLROOTCERT or PGSSLCRL naming a file that does not exist is refused
// (kUntrustedServer), never skipped.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <stdexcept>
#include <vector>

namespace kv::odbc {

// Error numbers. Driver errors carry the numbers that the launcher's
// callers have always seen for them, never 0 and never 1, so that a number
// can stand beside results such as "schema too old" (1).
inline constexpr int kProviderError = -2147467259;      // 0x80004005: any driver or driver-manager error
inline constexpr int kAuthenticationError = -2147217843; // 0x80040E4D: wrong password or unknown user
inline constexpr int kTimeoutError = -2147217871;        // 0x80040E31: the server did not answer in time
inline constexpr int kNoCurrentRecord = 3021;            // a field read at end of file
inline constexpr int kItemNotFound = 3265;               // no column of that name
inline constexpr int kObjectClosed = 3704;               // used while closed

inline constexpr int kLoginTimeoutSeconds = 5;
// A connection whose network vanished is noticed within about eleven seconds
// when idle (keepalives), and within the user timeout when what was sent is
// not acknowledged: the statement deadline less a second, at most 11 s.
inline constexpr int kKeepaliveIdleSeconds = 5;
inline constexpr int kKeepaliveIntervalSeconds = 2;
inline constexpr int kKeepaliveCount = 3;
inline constexpr int kLongestTcpUserTimeoutMs = 11000;
// A server whose certificate fails verification: the description of the
// error begins with these words, followed by the driver's own.
inline constexpr char kUntrustedServer[] = "the database server's certificate is not trusted: ";
inline constexpr int kDefaultStatementDeadlineMs = 15000;

class Error : public std::runtime_error {
public:
    Error(int number, QString description, QString sqlState = QString(), int nativeError = 0);

    // Non-zero; one of the numbers above.
    int number() const { return m_number; }
    // The driver's message (trailing line ends removed) or the layer's own.
    const QString &description() const { return m_description; }
    // Five characters from the driver ("08001", "42P01" …); "" for the
    // layer's own usage errors.
    const QString &sqlState() const { return m_sqlState; }
    // The driver's own code (psqlODBC: 101 for any failed connect, 1 for a
    // failed statement), for diagnostics only.
    int nativeError() const { return m_native; }

private:
    int m_number;
    QString m_description;
    QString m_sqlState;
    int m_native;
};

// One column value of the current row.
class Value {
public:
    enum class Kind { Null, Number, Text };

    Value() = default;
    static Value null() { return Value(); }
    static Value number(QString text) { return Value(Kind::Number, std::move(text)); }
    static Value text(QString text) { return Value(Kind::Text, std::move(text)); }

    Kind kind() const { return m_kind; }
    bool isNull() const { return m_kind == Kind::Null; }
    bool isNumber() const { return m_kind == Kind::Number; }

    // The value as the server wrote it; "" for NULL. Booleans read as "1"
    // and "0" (the driver's default), so comparing them with 1 works.
    const QString &toString() const { return m_text; }
    // Numbers and numeric text (surrounding blanks allowed) convert; NULL and
    // other text set *ok to false and give 0.
    double toDouble(bool *ok = nullptr) const;
    // As toDouble, rounded half to even; false for values beyond 64 bits.
    qint64 toInt64(bool *ok = nullptr) const;

private:
    Value(Kind kind, QString text) : m_kind(kind), m_text(std::move(text)) {}
    Kind m_kind = Kind::Null;
    QString m_text;
};

namespace detail {
struct ConnectionState;
struct StatementState;
} // namespace detail

class Recordset;

class Connection {
public:
    Connection();
    ~Connection();
    Connection(Connection &&) noexcept;
    Connection &operator=(Connection &&) noexcept;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Opens with an ODBC connection text ("DRIVER={…};SERVER=…;…") and the
    // driver options above; throws Error. Opening an open connection closes
    // it first.
    void open(const QString &connectionText);
    // True from a successful open until close, also after the link died (as
    // the next statement then shows).
    bool isOpen() const;
    // Closes every recordset still open on it, then the connection. Never
    // throws; a no-op when closed.
    void close() noexcept;

    // How long a statement may wait for the server; applies to statements
    // started after the call. 0 or less: no deadline.
    void setStatementDeadlineMs(int ms);
    int statementDeadlineMs() const;
    // What each statement asks the server to cancel it after (ODBC's query
    // timeout, which psqlODBC makes statement_timeout): by default a little
    // below the statement deadline. The driver sends a SET whenever the
    // value changes, one round trip more; a connection whose statements
    // have deadlines of their own keeps one value for all with this. 0 or
    // less: the default again.
    void setServerTimeoutMs(int ms);

private:
    friend class Recordset;
    friend void execute(const QString &sql, Connection &connection);
    // Runs sql on this connection: the statement, its answer read.
    std::shared_ptr<detail::StatementState> run(const QString &sql);
    std::shared_ptr<detail::ConnectionState> m_state;
};

// Runs sql on an open connection when its rows, if any, are not wanted;
// throws Error as Recordset::open does. One call of the driver, and so one
// deadline, where a recordset makes a second for its first row.
void execute(const QString &sql, Connection &connection);

// Forward-only, read-only.
class Recordset {
public:
    Recordset();
    ~Recordset();
    Recordset(Recordset &&) noexcept;
    Recordset &operator=(Recordset &&) noexcept;
    Recordset(const Recordset &) = delete;
    Recordset &operator=(const Recordset &) = delete;

    // Runs sql on an open connection; throws Error. A query leaves the
    // recordset open on its first row (eof() when it has none); a statement
    // without rows (INSERT, UPDATE …) leaves it closed. Opening an open
    // recordset closes it first.
    void open(const QString &sql, Connection &connection);
    bool isOpen() const;
    void close() noexcept;

    bool eof() const;
    void moveNext();
    // The named column of the current row, the name matched without regard
    // to case. Throws kItemNotFound for an unknown name, kNoCurrentRecord at
    // end of file, kObjectClosed when closed.
    Value field(const QString &name) const;
    // Column names in result order.
    QStringList columnNames() const;

private:
    std::shared_ptr<detail::StatementState> m_state;
};

} // namespace kv::odbc
