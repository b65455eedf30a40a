// What the settings dialog's connection test makes of an error, for the
// errors the driver gives (as it words them) and the layer's own.
#include "config/vbDatabase.h"

#include <gtest/gtest.h>

using kv::database::ConnectionFailure;
using kv::database::classifyConnectionError;

namespace {

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
        // The server cannot be reached: every way the network says so.
        {kProvider, "could not connect to server: Connection refused\n\tIs the server running on host", "08001", no},
        {kProvider, at + "Connection refused", "08001", no},
        {kProvider, "could not translate host name \"till-db\" to address: Name or service not known", "08001", no},
        {kProvider, at + "timeout expired", "08001", no},
        {kProvider, at + "No route to host", "08001", no},
        {kProvider, at + "Network is unreachable", "08001", no},
        {kProvider, at + "Connection timed out", "08001", no},
        {kProvider, "could not connect to server: No such file or directory\n\tIs the server running locally?",
         "08001", no},
        {kv::odbc::kTimeoutError, "The database server did not answer within 15 seconds.", "HYT00", no},
        // Who may log in.
        {kv::odbc::kAuthenticationError, "FATAL:  password authentication failed for user \"till\"", "08001", bad},
        {kProvider, at + "FATAL:  role \"till\" does not exist", "08001", bad},
        {kProvider, "FATAL:  role \"till\" does not exist", "28000", bad},
        // A database of that name is not a question of user or password.
        {kProvider, "FATAL:  database \"pos\" does not exist", "08001", error},
        // Once connected, the same words come from a statement: an old database.
        {kProvider, "ERROR: role \"till\" does not exist", "42704", old},
        {kProvider, "ERROR: relation \"Connection refused\" does not exist", "42P01", old},
        {kProvider, "[unixODBC][Driver Manager]Data source name not found and no default driver specified", "IM002",
         error},
        {kProvider, "server closed the connection unexpectedly", "08S01", error},
    };
    for (const auto &c : cases) {
        const kv::odbc::Error e(c.number, QString::fromStdString(c.description), QString::fromLatin1(c.sqlState));
        EXPECT_EQ(kv::database::connectionFailureText(classifyConnectionError(e)).toStdString(),
                  kv::database::connectionFailureText(c.expected).toStdString())
            << c.description;
    }
}

} // namespace
