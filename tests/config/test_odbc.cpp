// The ODBC layer against the real cluster through psqlODBC: rows and values,
// handles given back on every path, real errors sorted into classes.
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

QString clusterText()
{
    return buildConnectionText(dbtest::clusterSettings());
}

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

// The error that opening gives; the test fails when the open succeeds.
Error openError(const QString &text)
{
    Connection c;
    const Error e = thrown([&] { c.open(text); });
    EXPECT_NE(e.number(), 0) << "the connection opened";
    EXPECT_FALSE(c.isOpen());
    return e;
}

Error statementError(const QString &sql)
{
    Connection c;
    c.open(clusterText());
    Recordset rs;
    const Error e = thrown([&] { rs.open(sql, c); });
    EXPECT_NE(e.number(), 0) << "the statement ran: " << sql.toStdString();
    EXPECT_FALSE(rs.isOpen());
    return e;
}

class OdbcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testenv::psql("DELETE FROM managedprogram; DELETE FROM config");
        m_baseline = dbtest::otherSessions();
    }
    void TearDown() override
    {
        // Whatever the test did, it gave every connection back.
        EXPECT_EQ(dbtest::sessionsSettledAt(m_baseline), m_baseline) << "a connection was left open";
    }
    int m_baseline = 0;
};

TEST_F(OdbcTest, QueryStandsOnTheFirstRowAndIteratesToEndOfFile)
{
    testenv::psql("INSERT INTO managedprogram (id, name, path, runonstart, machineid) VALUES "
                  "(11, 'Kassé €', NULL, true, 3), (12, repeat('x', 3000) || 'ü', 'C:\\a''b', false, NULL), "
                  "(13, '', '', NULL, 3)");
    Connection c;
    c.open(clusterText());

    Recordset rs;
    rs.open(QStringLiteral("SELECT id, name, path, runonstart, machineid FROM managedprogram ORDER BY id"), c);
    ASSERT_TRUE(rs.isOpen());
    EXPECT_EQ(rs.columnNames(), (QStringList{"id", "name", "path", "runonstart", "machineid"}));

    ASSERT_FALSE(rs.eof());
    EXPECT_EQ(rs.field("ID").toInt64(), 11) << "column names match without regard to case";
    EXPECT_EQ(rs.field("name").toString(), QString::fromUtf8("Kassé €"));
    EXPECT_TRUE(rs.field("path").isNull());
    EXPECT_EQ(rs.field("runonstart").toDouble(), 1.0) << "a true boolean compares equal to 1";
    EXPECT_EQ(rs.field("machineid").toString(), "3");

    rs.moveNext();
    ASSERT_FALSE(rs.eof());
    EXPECT_EQ(rs.field("name").toString(), QString(3000, QLatin1Char('x')) + QString::fromUtf8("ü"))
        << "a value longer than one read buffer arrives whole";
    EXPECT_EQ(rs.field("path").toString(), "C:\\a'b");
    EXPECT_EQ(rs.field("runonstart").toDouble(), 0.0);
    EXPECT_TRUE(rs.field("machineid").isNull());
    bool ok = true;
    EXPECT_EQ(rs.field("machineid").toInt64(&ok), 0);
    EXPECT_FALSE(ok) << "NULL is not a number";

    rs.moveNext();
    ASSERT_FALSE(rs.eof());
    EXPECT_FALSE(rs.field("path").isNull()) << "an empty text is not NULL";
    EXPECT_EQ(rs.field("path").toString(), "");

    rs.moveNext();
    EXPECT_TRUE(rs.eof());
    EXPECT_EQ(thrown([&] { rs.field("id"); }).number(), kv::odbc::kNoCurrentRecord);
    EXPECT_THROW(rs.moveNext(), Error);
}

TEST_F(OdbcTest, EmptyResultIsOpenAtEndOfFileAndUnknownColumnsAreErrors)
{
    Connection c;
    c.open(clusterText());
    Recordset rs;
    rs.open(QStringLiteral("SELECT id AS \"Mixed\", 2.5::numeric AS half FROM managedprogram WHERE false"), c);
    ASSERT_TRUE(rs.isOpen());
    EXPECT_TRUE(rs.eof());

    rs.open(QStringLiteral("SELECT 2.5::numeric AS half, 3.5::float8 AS f, 'x7' AS t, ' 42 ' AS padded"), c);
    ASSERT_FALSE(rs.eof());
    EXPECT_EQ(rs.field("half").toInt64(), 2) << "halves round to the even neighbour";
    EXPECT_EQ(rs.field("f").toInt64(), 4);
    bool ok = true;
    rs.field("t").toDouble(&ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(rs.field("padded").toInt64(&ok), 42);
    EXPECT_TRUE(ok);
    EXPECT_EQ(thrown([&] { rs.field("nosuch"); }).number(), kv::odbc::kItemNotFound);
}

TEST_F(OdbcTest, StatementWithoutRowsLeavesTheRecordsetClosedAndTakesEffect)
{
    testenv::psql("INSERT INTO managedprogram (id, name, machineid) VALUES (1, 'a', NULL)");
    Connection c;
    c.open(clusterText());
    Recordset rs;
    rs.open(QStringLiteral("INSERT INTO managedprogram (id, name, machineid) SELECT id + 100, name, 9 "
                           "FROM managedprogram"),
            c);
    EXPECT_FALSE(rs.isOpen());
    EXPECT_THROW(rs.eof(), Error);
    rs.open(QStringLiteral("UPDATE managedprogram SET name = 'none' WHERE false"), c);
    EXPECT_FALSE(rs.isOpen()) << "no rows affected is no failure";
    EXPECT_EQ(testenv::psql("SELECT id || ':' || machineid FROM managedprogram WHERE machineid = 9"), "101:9\n");
}

TEST_F(OdbcTest, ClosingTheConnectionClosesItsRecordsets)
{
    Connection c;
    c.open(clusterText());
    Recordset rs;
    rs.open(QStringLiteral("SELECT 1 AS one"), c);
    ASSERT_TRUE(rs.isOpen());
    c.close();
    EXPECT_FALSE(rs.isOpen());
    EXPECT_EQ(thrown([&] { rs.field("one"); }).number(), kv::odbc::kObjectClosed);
    EXPECT_EQ(thrown([&] { rs.open(QStringLiteral("SELECT 1"), c); }).number(), kv::odbc::kObjectClosed);
    EXPECT_FALSE(c.isOpen());
    // Reopening the same object gives a working connection again.
    c.open(clusterText());
    rs.open(QStringLiteral("SELECT 7 AS seven"), c);
    EXPECT_EQ(rs.field("seven").toInt64(), 7);
    {
        // A recordset outliving its connection must not touch freed handles.
        Connection gone;
        gone.open(clusterText());
        rs.open(QStringLiteral("SELECT 1 AS one"), gone);
    }
    EXPECT_FALSE(rs.isOpen());
}

// ------------------------------------------------------------ error classes

TEST_F(OdbcTest, RealConnectErrorsFallIntoTheConnectionTestClasses)
{
    const kv::LauncherSettings s = dbtest::clusterSettings();
    const auto with = [&](QString kv::LauncherSettings::*field, const char *value) {
        kv::LauncherSettings changed = s;
        changed.*field = QString::fromUtf8(value);
        return buildConnectionText(changed);
    };
    const struct {
        const char *what;
        QString text;
        const char *says; // part of the driver's description
        int number;       // 0: not looked at
        ConnectionFailure expected;
    } cases[] = {
        {"no password", with(&kv::LauncherSettings::db_password, ""), "", 0, ConnectionFailure::BadUserPass},
        {"unknown host", with(&kv::LauncherSettings::db_host, "no-such-host.invalid"), "", kv::odbc::kProviderError,
         ConnectionFailure::NoConnection},
        // The driver manager gives no number of its own.
        {"no driver", QStringLiteral("DRIVER={No Such Driver};SERVER=127.0.0.1"), "No Such Driver",
         kv::odbc::kProviderError, ConnectionFailure::ConnectionError},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const Error e = openError(c.text);
        EXPECT_TRUE(e.description().contains(QString::fromUtf8(c.says))) << e.what();
        if (c.number) {
            EXPECT_EQ(e.number(), c.number);
        }
        EXPECT_EQ(classifyConnectionError(e), c.expected) << e.what();
    }
    {
        dbtest::EnvOverride port("PGPORT", "1"); // a privileged port nothing here listens on
        const Error refused = openError(clusterText());
        EXPECT_TRUE(refused.description().contains("Connection refused")) << refused.what();
        EXPECT_EQ(classifyConnectionError(refused), ConnectionFailure::NoConnection);
    }
    // The cluster answers again once the port is its own.
    Connection c;
    c.open(clusterText());
    EXPECT_TRUE(c.isOpen());
}

TEST_F(OdbcTest, ServerErrorsBeginningWithErrorMeanAnOldDatabase)
{
    const Error column = statementError(QStringLiteral("SELECT nosuchcolumn FROM config"));
    EXPECT_TRUE(column.description().startsWith("ERROR:")) << column.what();
    EXPECT_EQ(column.number(), kv::odbc::kProviderError);
    EXPECT_EQ(column.sqlState(), "42703");
    EXPECT_EQ(classifyConnectionError(column), ConnectionFailure::OldDatabase);
    EXPECT_FALSE(column.description().endsWith('\n'));
}

// ------------------------------------------------------------------ timeouts

TEST_F(OdbcTest, StatementOnAStoppedBackendReturnsWithinTheDeadline)
{
    Connection c;
    c.open(clusterText());
    Recordset rs;
    rs.open(QStringLiteral("SELECT pg_backend_pid() AS pid"), c);
    const int backend = int(rs.field("pid").toInt64());
    rs.close();

    double elapsed = 0;
    {
        dbtest::StoppedProcess stopped(backend);
        const auto t0 = std::chrono::steady_clock::now();
        const Error e = thrown([&] { rs.open(QStringLiteral("SELECT 1 AS one"), c); });
        elapsed = dbtest::secondsSince(t0);
        EXPECT_EQ(e.number(), kv::odbc::kTimeoutError);
        EXPECT_EQ(classifyConnectionError(e), ConnectionFailure::NoConnection);
        EXPECT_FALSE(rs.isOpen());
        // The link is gone: the next statement fails at once instead of
        // waiting a second deadline.
        const auto t1 = std::chrono::steady_clock::now();
        EXPECT_THROW(rs.open(QStringLiteral("SELECT 1"), c), Error);
        EXPECT_LE(dbtest::secondsSince(t1), 1.0);
    }
    EXPECT_LE(elapsed, kv::odbc::kDefaultStatementDeadlineMs / 1000.0 + 2.0);
    c.close();

    Connection fresh;
    fresh.open(clusterText());
    rs.open(QStringLiteral("SELECT 2 AS two"), fresh);
    EXPECT_EQ(rs.field("two").toInt64(), 2) << "the server answers again";
}

} // namespace
