// One till as the launcher-level tests and benches set it up: an application
// directory with the launcher's shell.conf (and the client library's file),
// and the station's rows in the test cluster's tables.
#pragma once

#include "core/appcontext.h"
#include "tempdir.h"
#include "testenv.h"

#include <string>

namespace tilltest {

struct Till {
    explicit Till(int stationId = 7) : station(stationId) {}

    testsupport::TempAppDir dir;
    kv::AppContext ctx{dir.path(), QStringLiteral("korvantis-launcher")};
    int station;

    // Keys of the test cluster's database `name` (the test database when
    // empty) through `host` (the cluster's own when empty), as `user` (the
    // test role when empty).
    static QByteArray databaseKeys(const QString &host = {}, const QString &name = {}, const QString &user = {},
                                   const QString &password = {})
    {
        const testenv::Db db = testenv::database();
        return QStringLiteral("db_host = %1\r\ndb_name = %2\r\ndb_username = %3\r\ndb_password = %4\r\n")
            .arg(host.isEmpty() ? db.host : host, name.isEmpty() ? db.name : name, user.isEmpty() ? db.user : user,
                 user.isEmpty() ? db.password : password)
            .toUtf8();
    }
    void writeShellConf(const QByteArray &rest, const QByteArray &keys = databaseKeys()) const
    {
        dir.write(QStringLiteral("shell.conf"), keys + rest);
    }
    // The front-end's file, which the client library reads.
    void writeFrontEndConf(const QByteArray &keys = databaseKeys()) const
    {
        dir.write(QStringLiteral("dralfrontend.conf"), keys + "stationid = " + QByteArray::number(station) + "\r\n");
    }

    // A row of managedprogram for `machineid` ("NULL": a template); its id.
    // Texts go dollar-quoted: they need no escaping.
    static int addProgram(const QString &name, const QString &path, const QString &executable,
                          const QString &arguments, bool runOnStart, bool restart, const QString &machineid)
    {
        QString values;
        for (const QString &s : {name, path, executable, arguments})
            values += QStringLiteral("$kv$%1$kv$, ").arg(s);
        return std::stoi(testenv::psql(
            QStringLiteral("INSERT INTO managedprogram (name, path, executable, arguments, runonstart, "
                           "restartonfailure, machineid) VALUES (%1%2, %3, %4) RETURNING id")
                .arg(values, QLatin1String(runOnStart ? "true" : "false"), QLatin1String(restart ? "true" : "false"),
                     machineid)
                .toStdString()));
    }
    // A receipt (device 1) or the drawer (device 2, no command) for this
    // station, notified when `notify`.
    void queue(int device, const std::string &command, bool notify = false) const
    {
        testenv::psql("INSERT INTO poscommands (stationid, device, command) VALUES (" + std::to_string(station) +
                      ", " + std::to_string(device) + ", " + (command.empty() ? "NULL" : "'" + command + "'") +
                      (notify ? "); NOTIFY poscommands" : ")"));
    }
};

} // namespace tilltest
