// The ODBC layer against the real cluster through psqlODBC: rows and values,
// handles given back on every path, errors sorted into the classes the
// settings dialog shows, and deadlines on a server that stops answering.
#include "config/odbc.h"
#include "config/vbDatabase.h"
#include "dbtestutil.h"

#include <gtest/gtest.h>

using kv::database::ConnectionFailure;
using kv::database::buildConnectionText;
using kv::database::classifyConnectionError;
using kv::odbc::Connection;
using kv::odbc::Error;
using kv::odbc::Recordset;

namespace {

QString clusterText() { return buildConnectionText(dbtest::clusterSettings()); }

// What the call throws; number 0 when it throws nothing.
template <typename F>
Error thrown(F call)
{
    try {
        call();
    } catch (const Error &e) {
        return e;
    }
    return Error(0, QString());
}

class OdbcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testenv::psql("DELETE FROM managedprogram; DELETE FROM config");
        m_baseline = dbtest::otherSessions();
    }
    // Whatever the test did, it gave every connection back.
    void TearDown() override { EXPECT_EQ(dbtest::sessionsSettledAt(m_baseline), m_baseline) << "a connection left open"; }
    int m_baseline = 0;
};

TEST_F(OdbcTest, QueryStandsOnTheFirstRowAndIteratesToEndOfFile)
{
    testenv::psql("INSERT INTO managedprogram (id, name, path, runonstart, machineid) VALUES "
                  "(11, 'Kassé €', NULL, true, 3), (12, repeat('x', 3000) || 'ü', '', false, NULL)");
    Connection c;
    c.open(clusterText());
    Recordset rs;
    rs.open(QStringLiteral("SELECT id, name, path, runonstart, machineid FROM managedprogram ORDER BY id"), c);
    ASSERT_FALSE(rs.eof());
    EXPECT_EQ(rs.field("ID").toInt64(), 11) << "column names match without regard to case";
    EXPECT_EQ(rs.field("name").toString(), QString::fromUtf8("Kassé €"));
    EXPECT_TRUE(rs.field("path").isNull());

    rs.moveNext();
    ASSERT_FALSE(rs.eof());
    EXPECT_EQ(rs.field("name").toString(), QString(3000, QLatin1Char('x')) + QString::fromUtf8("ü"))
        << "a value longer than one read buffer arrives whole";
    EXPECT_FALSE(rs.field("path").isNull()) << "an empty text is not NULL";
    bool ok = true;
    rs.field("machineid").toInt64(&ok);
    EXPECT_FALSE(ok) << "NULL is not a number";

    rs.moveNext();
    EXPECT_TRUE(rs.eof());
    EXPECT_EQ(thrown([&] { rs.field("id"); }).number(), kv::odbc::kNoCurrentRecord);
}

// The driver's own wording, as it reaches the layer from real failures.
TEST_F(OdbcTest, RealErrorsFallIntoTheConnectionTestClasses)
{
    kv::LauncherSettings noPassword = dbtest::clusterSettings(), unknownHost = noPassword;
    noPassword.db_password.clear();
    unknownHost.db_host = QStringLiteral("no-such-host.invalid");
    const struct {
        const char *what;
        QString text;
        ConnectionFailure expected;
    } cases[] = {
        {"no password", buildConnectionText(noPassword), ConnectionFailure::BadUserPass},
        {"unknown host", buildConnectionText(unknownHost), ConnectionFailure::NoConnection},
        {"no driver", QStringLiteral("DRIVER={No Such Driver};SERVER=127.0.0.1"), ConnectionFailure::ConnectionError},
    };
    for (const auto &c : cases) {
        Connection conn;
        const Error e = thrown([&] { conn.open(c.text); });
        EXPECT_FALSE(conn.isOpen()) << c.what;
        EXPECT_EQ(classifyConnectionError(e), c.expected) << c.what << ": " << e.what();
    }
    {
        dbtest::EnvOverride port("PGPORT", "1"); // a privileged port nothing here listens on
        Connection conn;
        const Error refused = thrown([&] { conn.open(clusterText()); });
        EXPECT_EQ(classifyConnectionError(refused), ConnectionFailure::NoConnection) << refused.what();
    }
    // Once connected, a failing statement means a database of an older layout.
    Connection conn;
    conn.open(clusterText());
    Recordset rs;
    const Error column = thrown([&] { rs.open(QStringLiteral("SELECT nosuchcolumn FROM config"), conn); });
    EXPECT_EQ(column.sqlState(), "42703");
    EXPECT_EQ(classifyConnectionError(column), ConnectionFailure::OldDatabase) << column.what();
}

// Texts the driver gives on other servers and networks than this one's.
TEST(ConnectionErrorClasses, EachErrorFallsIntoItsClass)
{
    constexpr int kProvider = kv::odbc::kProviderError;
    const std::string at = "connection to server at \"10.0.0.5\", port 5432 failed: ";
    const auto no = ConnectionFailure::NoConnection, bad = ConnectionFailure::BadUserPass,
               old = ConnectionFailure::OldDatabase, error = ConnectionFailure::ConnectionError;
    const struct {
        int number;
        std::string description;
        const char *sqlState;
        ConnectionFailure expected;
    } cases[] = {
        {kProvider, at + "No route to host", "08001", no},
        {kProvider, at + "Connection timed out", "08001", no},
        {kv::odbc::kTimeoutError, "The database server did not answer within 15 seconds.", "HYT00", no},
        {kProvider, at + "FATAL:  role \"till\" does not exist", "08001", bad},
        {kProvider, "FATAL:  role \"till\" does not exist", "28000", bad},
        // A database of that name is not a question of user or password.
        {kProvider, "FATAL:  database \"pos\" does not exist", "08001", error},
        // Once connected, the same words come from a statement.
        {kProvider, "ERROR: relation \"Connection refused\" does not exist", "42P01", old},
        {kProvider, "server closed the connection unexpectedly", "08S01", error},
    };
    for (const auto &c : cases) {
        const kv::odbc::Error e(c.number, QString::fromStdString(c.description), QString::fromLatin1(c.sqlState));
        EXPECT_EQ(kv::database::connectionFailureText(classifyConnectionError(e)).toStdString(),
                  kv::database::connectionFailureText(c.expected).toStdString())
            << c.description;
    }
}

TEST_F(OdbcTest, StatementOnAStoppedBackendReturnsWithinTheDeadline)
{
    Connection c;
    c.open(clusterText());
    Recordset rs;
    rs.open(QStringLiteral("SELECT pg_backend_pid() AS pid"), c);
    const int backend = int(rs.field("pid").toInt64());
    {
        dbtest::StoppedProcess stopped(backend);
        const auto t0 = std::chrono::steady_clock::now();
        const Error e = thrown([&] { rs.open(QStringLiteral("SELECT 1 AS one"), c); });
        EXPECT_LE(dbtest::secondsSince(t0), kv::odbc::kDefaultStatementDeadlineMs / 1000.0 + 2.0);
        EXPECT_EQ(classifyConnectionError(e), ConnectionFailure::NoConnection) << e.what();
        // The link is gone: the next statement fails at once instead of
        // waiting a second deadline.
        const auto t1 = std::chrono::steady_clock::now();
        EXPECT_THROW(rs.open(QStringLiteral("SELECT 1"), c), Error);
        EXPECT_LE(dbtest::secondsSince(t1), 1.0);
    }
    c.close();
}

// The driver runs statements of its own after the login; a server that then
// stops answering must not hold the open past the login timeout and deadline.
TEST_F(OdbcTest, AServerSilentAfterTheLoginIsGivenUpOnWithinTheBound)
{
    Connection c;
    c.setStatementDeadlineMs(1000);
    const auto t0 = std::chrono::steady_clock::now();
    const Error e = thrown([&] { c.open(clusterText() + QStringLiteral(";ConnSettings=SELECT pg_sleep(60)")); });
    EXPECT_EQ(e.number(), kv::odbc::kTimeoutError) << e.what();
    EXPECT_LE(dbtest::secondsSince(t0), kv::odbc::kLoginTimeoutSeconds + 1.0 + 1.0);
    EXPECT_FALSE(c.isOpen());
    testenv::psql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE query LIKE '%pg_sleep(60)%' "
                  "AND pid <> pg_backend_pid()");
}

} // namespace
