// The connection text every database connection of the launcher is opened
// with, the start-up checks that run on such a connection, and the station's
// identity.
#pragma once

#include "station/odbc.h"
#include "station/vbConfig.h"
#include "core/appcontext.h"
#include "core/eventlog.h"
#include "core/outcome.h"
#include "core/prompter.h"

#include <QString>

namespace kv::database {

// Databases older than this lack what the launcher reads.
inline constexpr int kLowestSchemaVersion = 90;

// The highest non-NULL config.schemaversion, and 1 when there is none.
inline constexpr char16_t kSchemaVersionQuery[] =
    u"SELECT schemaversion FROM config WHERE schemaversion IS NOT NULL UNION SELECT 1 "
    u"ORDER BY schemaversion DESC LIMIT 1";

// The four values go in as they are: a ";" in a password is the user's affair.
QString buildConnectionText(const QString &host, const QString &database, const QString &user,
                            const QString &password);
// From db_host, db_name, db_username and db_password.
QString buildConnectionText(const LauncherSettings &settings);

// A whole number from 1 to 32767 in digits only. A station id goes into SQL
// as it is: anything else ("7 OR 1=1") would reach other stations' rows.
bool isPlainStationId(const QString &stationId);

// The error a statement with any other id would have met, raised before the
// statement is sent.
odbc::Error stationIdError(const QString &stationId);

// For the inside of an e'...' literal: backslashes doubled, then quotes.
QString escapeSqlText(const QString &s);

// Runs the schema query on an open connection and returns the version;
// throws odbc::Error. Shared with the settings dialog's connection test.
int readSchemaVersion(odbc::Connection &connection);

// What one look at the schema found. Taking it opens no window, so it may
// run off the window thread; telling it may.
struct SchemaLook {
    qint32 error = 0; // the number of the error that stopped the look, 0 if none
    QString description;
    int version = 0;
};
// With `keep`, a look that found the version leaves its connection open
// there, for the steps of start-up that follow at once.
SchemaLook lookAtSchema(const LauncherSettings &settings, odbc::Connection *keep = nullptr);

// 0: reachable and at least kLowestSchemaVersion. 1: older (always told,
// whatever showErrors says, and the versions found and required logged).
// Otherwise the number of the error that stopped the look, its description
// shown first when showErrors is set.
qint32 tellSchemaLook(const SchemaLook &look, bool showErrors, Prompter &prompter, EventLog &log);

// Gives a new station (empty stationid) the next free id, appended to
// confPath and stored into settings, and gives a station without programs
// copies of the template programs with path set to the application directory.
// A station id in confPath that is not a plain one is named to the person;
// any other failure tells them to restart with more rights. Either way:
// LauncherEnds. Runs over `open` when that is open, else over a connection
// of its own.
Outcome setupStation(LauncherSettings &settings, const QString &confPath, const AppContext &ctx,
                     Prompter &prompter, odbc::Connection *open = nullptr);

// What the settings dialog's connection test shows for a failure.
// UntrustedServer: the server's certificate failed verification.
enum class ConnectionFailure { NoConnection, BadUserPass, OldDatabase, ConnectionError, UntrustedServer };

ConnectionFailure classifyConnectionError(const odbc::Error &error);
// "No connection", "Bad user/pass", "Old database", "Connection error"; an
// untrusted server as the connection test names it.
QString connectionFailureText(ConnectionFailure failure);
// The connection test's status for a failure: the class's text, except that
// a server that is not trusted is named with the reason ("the database
// server's certificate is not trusted: …"), since a person has to act on it.
QString connectionFailureStatus(const odbc::Error &error);

} // namespace kv::database
