#include "station/vbDatabase.h"

#include "core/textconv.h"
#include "shared/confsyntax.h"
#include "shared/stationid.h"

namespace kv::database {

namespace {

const QString kLauncherTitle = QStringLiteral("Korvantis Launcher");

MessageBox box(QString text, QString title, MsgIcon icon)
{
    MessageBox b;
    b.text = std::move(text);
    b.title = std::move(title);
    b.buttons = MsgButtons::OK;
    b.icon = icon;
    b.systemModal = true;
    return b;
}

qint64 readWholeNumber(const odbc::Recordset &rs, const QString &column)
{
    const odbc::Value v = rs.field(column);
    bool ok = false;
    const qint64 n = v.toInt64(&ok);
    if (!ok)
        throw odbc::Error(odbc::kProviderError,
                          QStringLiteral("The column %1 holds \"%2\", which is not a number.")
                              .arg(column, v.isNull() ? QStringLiteral("NULL") : v.toString()),
                          QStringLiteral("22018"));
    return n;
}

bool containsAny(const QString &text, std::initializer_list<const char *> needles)
{
    for (const char *n : needles) {
        if (text.contains(QLatin1String(n)))
            return true;
    }
    return false;
}

} // namespace

QString buildConnectionText(const QString &host, const QString &database, const QString &user,
                            const QString &password)
{
    return QStringLiteral("DRIVER={PostgreSQL Unicode};SERVER=") + host + QStringLiteral(";DATABASE=") + database +
           QStringLiteral(";UID=") + user + QStringLiteral(";PWD=") + password;
}

QString buildConnectionText(const LauncherSettings &settings)
{
    return buildConnectionText(settings.db_host, settings.db_name, settings.db_username, settings.db_password);
}

bool isPlainStationId(const QString &stationId)
{
    return stationid::isValid(text::toUtf8(stationId));
}

odbc::Error stationIdError(const QString &stationId)
{
    return odbc::Error(odbc::kProviderError,
                       QStringLiteral("The station id \"%1\" is not a whole number from 1 to %2.")
                           .arg(stationId)
                           .arg(stationid::kMax),
                       QStringLiteral("22P02"));
}

QString escapeSqlText(const QString &s)
{
    QString out = s;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    out.replace(QLatin1Char('\''), QStringLiteral("''"));
    return out;
}

int readSchemaVersion(odbc::Connection &connection)
{
    odbc::Recordset rs;
    rs.open(QString::fromUtf16(kSchemaVersionQuery), connection);
    return int(readWholeNumber(rs, QStringLiteral("schemaversion")));
}

SchemaLook lookAtSchema(const LauncherSettings &settings, odbc::Connection *keep)
{
    SchemaLook look;
    try {
        odbc::Connection connection;
        connection.open(buildConnectionText(settings));
        look.version = readSchemaVersion(connection);
        if (keep)
            *keep = std::move(connection);
    } catch (const odbc::Error &e) {
        // The connection is closed by now: no box waits on an open one.
        look.error = e.number();
        look.description = e.description();
    }
    return look;
}

qint32 tellSchemaLook(const SchemaLook &look, bool showErrors, Prompter &prompter, EventLog &log)
{
    if (look.error != 0) {
        if (showErrors)
            prompter.messageBox(box(look.description, QStringLiteral("Error connecting to database"),
                                    MsgIcon::Exclamation));
        else if (!look.description.isEmpty())
            // Said at once: the box comes only after the last look, and a
            // server that is not trusted is not something to wait out.
            log.warning(QStringLiteral("database not usable yet: %1").arg(look.description));
        return look.error;
    }
    if (look.version < kLowestSchemaVersion) {
        // The box names no version; whoever sets the database up needs both.
        log.warning(QStringLiteral("database schema version %1 found, %2 or later required (the highest "
                                   "config.schemaversion counts, 1 when there is none)")
                        .arg(look.version)
                        .arg(kLowestSchemaVersion));
        prompter.messageBox(box(QStringLiteral("Database version too old, please upgrade to the newest version "
                                               "or connect to a different database."),
                                kLauncherTitle, MsgIcon::Exclamation));
        return 1;
    }
    return 0;
}

Outcome setupStation(LauncherSettings &settings, const QString &confPath, const AppContext &ctx,
                     Prompter &prompter, odbc::Connection *open)
{
    const auto refuse = [&](const QString &description) {
        return endForLackOfRights(prompter,
                                  QStringLiteral("You do not have sufficient rights to set up on this workstation. "
                                                 "Please restart as Administrator."),
                                  description);
    };
    // Either statement below would fail on such an id, and neither is sent:
    // the person is told what is wrong with it rather than of rights.
    if (!settings.stationid.isEmpty() && !isPlainStationId(settings.stationid)) {
        prompter.messageBox(box(QStringLiteral("The station id \"%1\" in %2 is not valid: a station id is a whole "
                                               "number from 1 to %3, written in digits only. Please correct the "
                                               "stationid line of that file and start Korvantis Launcher again.")
                                    .arg(settings.stationid, confPath)
                                    .arg(stationid::kMax),
                                kLauncherTitle, MsgIcon::Critical));
        return Outcome::LauncherEnds;
    }
    try {
        odbc::Connection own;
        odbc::Connection &connection = open && open->isOpen() ? *open : own;
        if (!connection.isOpen())
            connection.open(buildConnectionText(settings));
        odbc::Recordset rs;
        if (settings.stationid.isEmpty()) {
            rs.open(QStringLiteral("SELECT COALESCE((SELECT max(to_number('0' || machineid::TEXT, '999999')) AS "
                                   "stationid FROM managedprogram), '0') AS stationid"),
                    connection);
            const QString newId = QString::number(readWholeNumber(rs, QStringLiteral("stationid")) + 1);
            rs.close();
            // The record takes the id only once the file holds it, so that a
            // failed write leaves both as they were.
            const std::string line = confsyntax::formatLine("stationid", text::toUtf8(newId));
            QString error;
            if (!config::appendPrivateLine(confPath, QByteArray::fromStdString(line), &error))
                return refuse(error.isEmpty() ? QStringLiteral("Permission denied") : error);
            settings.stationid = newId;
        } else {
            rs.open(QStringLiteral("SELECT COALESCE((SELECT count(id) FROM managedprogram WHERE machineid = '") +
                        settings.stationid + QStringLiteral("'),0) as cnt"),
                    connection);
            if (readWholeNumber(rs, QStringLiteral("cnt")) > 0)
                return Outcome::Continue;
            rs.close();
        }
        rs.open(QStringLiteral("INSERT INTO managedprogram (name, executable, arguments, runonstart, "
                               "restartonfailure, path, machineid) SELECT name, executable, arguments, "
                               "runonstart, restartonfailure, e'") +
                    escapeSqlText(ctx.appPath()) + QStringLiteral("', ") + settings.stationid +
                    QStringLiteral(" FROM managedprogram WHERE machineid IS NULL"),
                connection);
        return Outcome::Continue;
    } catch (const odbc::Error &e) {
        return refuse(e.description());
    }
}

ConnectionFailure classifyConnectionError(const odbc::Error &error)
{
    const QString &text = error.description();
    if (text.startsWith(QLatin1String(odbc::kUntrustedServer)))
        return ConnectionFailure::UntrustedServer;
    const bool atConnect = error.sqlState().startsWith(QLatin1String("08")) ||
                           error.sqlState().startsWith(QLatin1String("28"));
    if (error.number() == odbc::kTimeoutError ||
        (atConnect && containsAny(text, {"Connection refused", "could not translate host name", "timeout expired",
                                         "No route to host", "Network is unreachable", "Connection timed out",
                                         "Is the server running", "No database server is named"})))
        return ConnectionFailure::NoConnection;
    // With trust or peer authentication an unknown user is named as a role.
    if (error.number() == odbc::kAuthenticationError ||
        (atConnect && text.contains(QLatin1String("role \"")) && text.contains(QLatin1String("does not exist"))))
        return ConnectionFailure::BadUserPass;
    if (text.startsWith(QLatin1String("ERROR:")))
        return ConnectionFailure::OldDatabase;
    return ConnectionFailure::ConnectionError;
}

QString connectionFailureText(ConnectionFailure failure)
{
    switch (failure) {
    case ConnectionFailure::NoConnection: return QStringLiteral("No connection");
    case ConnectionFailure::BadUserPass: return QStringLiteral("Bad user/pass");
    case ConnectionFailure::OldDatabase: return QStringLiteral("Old database");
    case ConnectionFailure::UntrustedServer: return QLatin1String(odbc::kUntrustedServer).chopped(2);
    case ConnectionFailure::ConnectionError: break;
    }
    return QStringLiteral("Connection error");
}

QString connectionFailureStatus(const odbc::Error &error)
{
    const ConnectionFailure failure = classifyConnectionError(error);
    return failure == ConnectionFailure::UntrustedServer ? error.description() : connectionFailureText(failure);
}

} // namespace kv::database
