// ODBC errors sorted into the classes the settings dialog shows, and the
// open's deadline on the real cluster when it stops answering after the login.
#include "config/odbc.h"
#include "config/vbDatabase.h"
#include "dbtestutil.h"

#include <gtest/gtest.h>

using kv::database::ConnectionFailure;
using kv::database::buildConnectionText;
using kv::database::classifyConnectionError;
using kv::odbc::Connection;
using kv::odbc::Error;

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

// The driver runs statements of its own after the login; a server that then
// stops answering must not hold the open past the login timeout and deadline.
TEST(OdbcOpen, AServerSilentAfterTheLoginIsGivenUpOnWithinTheBound)
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
