// What the settings dialog's connection test makes of an error, for the
// errors the driver gives (as it words them) and the layer's own.
#include "config/vbDatabase.h"

#include <gtest/gtest.h>

using kv::database::ConnectionFailure;
using kv::database::classifyConnectionError;
using kv::odbc::Error;

namespace {

constexpr int kProvider = kv::odbc::kProviderError;

std::string name(ConnectionFailure f)
{
    return kv::database::connectionFailureText(f).toStdString();
}

TEST(ConnectionErrorClasses, EachErrorFallsIntoItsClass)
{
    const struct {
        int number;
        const char *description;
        const char *sqlState;
        ConnectionFailure expected;
    } cases[] = {
        // The server cannot be reached: every way the network says so.
        {kProvider, "could not connect to server: Connection refused\n\tIs the server running on host \"10.0.0.5\" "
                    "and accepting\n\tTCP/IP connections on port 5432?", "08001", ConnectionFailure::NoConnection},
        {kProvider, "connection to server at \"10.0.0.5\", port 5432 failed: Connection refused", "08001",
         ConnectionFailure::NoConnection},
        {kProvider, "could not translate host name \"till-db\" to address: Name or service not known", "08001",
         ConnectionFailure::NoConnection},
        {kProvider, "connection to server at \"10.0.0.5\", port 5432 failed: timeout expired", "08001",
         ConnectionFailure::NoConnection},
        {kProvider, "connection to server at \"10.0.0.5\", port 5432 failed: No route to host", "08001",
         ConnectionFailure::NoConnection},
        {kProvider, "connection to server at \"10.0.0.5\", port 5432 failed: Network is unreachable", "08001",
         ConnectionFailure::NoConnection},
        {kProvider, "connection to server at \"10.0.0.5\", port 5432 failed: Connection timed out", "08001",
         ConnectionFailure::NoConnection},
        {kProvider, "could not connect to server: No such file or directory\n\tIs the server running locally?",
         "08001", ConnectionFailure::NoConnection},
        {kv::odbc::kTimeoutError, "The database server did not answer within 15 seconds.", "HYT00",
         ConnectionFailure::NoConnection},
        // Who may log in.
        {kv::odbc::kAuthenticationError, "FATAL:  password authentication failed for user \"till\"", "08001",
         ConnectionFailure::BadUserPass},
        {kProvider, "connection to server at \"10.0.0.5\", port 5432 failed: FATAL:  role \"till\" does not exist",
         "08001", ConnectionFailure::BadUserPass},
        {kProvider, "FATAL:  role \"till\" does not exist", "28000", ConnectionFailure::BadUserPass},
        // A database of that name is not a question of user or password.
        {kProvider, "FATAL:  database \"pos\" does not exist", "08001", ConnectionFailure::ConnectionError},
        // Once connected, the same words come from a statement: an old database.
        {kProvider, "ERROR: role \"till\" does not exist", "42704", ConnectionFailure::OldDatabase},
        {kProvider, "ERROR: relation \"Connection refused\" does not exist", "42P01", ConnectionFailure::OldDatabase},
        {kProvider, "ERROR: column \"schemaversion\" does not exist", "42703", ConnectionFailure::OldDatabase},
        {kProvider, "[unixODBC][Driver Manager]Data source name not found and no default driver specified", "IM002",
         ConnectionFailure::ConnectionError},
        {kProvider, "server closed the connection unexpectedly", "08S01", ConnectionFailure::ConnectionError},
    };
    for (const auto &c : cases) {
        const Error e(c.number, QString::fromUtf8(c.description), QString::fromLatin1(c.sqlState));
        EXPECT_EQ(name(classifyConnectionError(e)), name(c.expected)) << c.description;
    }
}

} // namespace
