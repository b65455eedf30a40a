// A station for the program manager's tests: programs in the real cluster's
// managedprogram table and, mirroring them, entries in managedPrograms, with
// the window's logic attached to the supervision as the launcher attaches it.
#pragma once

#include "config/odbc.h"
#include "config/vbDatabase.h"
#include "programs/Form1.h"
#include "programs/vbManagedPrograms.h"

#include "childhelpers.h"
#include "scriptedprompter.h"
#include "tempdir.h"
#include "testenv.h"

#include <QFileInfo>

#include <map>
#include <ostream>
#include <string>

namespace form1test {

// One row of managedprogram as the database holds it.
struct Row {
    QString name, path, executable, arguments, runonstart, restartonfailure, machineid;
    bool operator==(const Row &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Row &r)
{
    return os << "{" << r.name.toStdString() << "|" << r.path.toStdString() << "|" << r.executable.toStdString()
              << "|" << r.arguments.toStdString() << "|" << r.runonstart.toStdString() << "|"
              << r.restartonfailure.toStdString() << "|" << r.machineid.toStdString() << "}";
}

// Text for psql without escaping: a dollar-quoted literal.
inline std::string literal(const QString &s)
{
    return "$kv$" + s.toStdString() + "$kv$";
}

inline kv::LauncherSettings clusterSettings(const QString &stationid)
{
    const testenv::Db db = testenv::database();
    kv::LauncherSettings s;
    s.db_host = db.host;
    s.db_name = db.name;
    s.db_username = db.user;
    s.db_password = db.password;
    s.stationid = stationid;
    return s;
}

// Every row of managedprogram by id, read over the launcher's own ODBC layer
// so texts come back exactly.
inline std::map<int, Row> rows()
{
    kv::odbc::Connection c;
    c.open(kv::database::buildConnectionText(clusterSettings(QString())));
    kv::odbc::Recordset rs;
    rs.open(QStringLiteral("SELECT id, name, path, executable, arguments, runonstart, restartonfailure, machineid "
                           "FROM managedprogram"),
            c);
    std::map<int, Row> out;
    for (; !rs.eof(); rs.moveNext()) {
        auto f = [&](const char *name) { return rs.field(QLatin1String(name)).toString(); };
        out[int(rs.field(QStringLiteral("id")).toInt64())] = Row{f("name"),       f("path"),
                                                                  f("executable"), f("arguments"),
                                                                  f("runonstart"), f("restartonfailure"),
                                                                  f("machineid")};
    }
    return out;
}

// The row an entry of station 41 is written as.
inline Row rowOf(const kv::ManagedProgram &e)
{
    return Row{e.name,
               e.path,
               e.executable,
               e.arguments,
               e.runOnStart ? QStringLiteral("1") : QStringLiteral("0"),
               e.restartOnFailure ? QStringLiteral("1") : QStringLiteral("0"),
               QStringLiteral("41")};
}

struct Station {
    testsupport::TempAppDir dir;
    kv::AppContext ctx{dir.path(), QStringLiteral("korvantis-launcher")};
    testsupport::ScriptedPrompter prompter;
    kv::FakeClock clock;
    kv::LauncherSettings shellConf = clusterSettings(QStringLiteral("41"));
    kv::ManagedPrograms mp{ctx, prompter, clock, shellConf};
    kv::Form1 form{mp, shellConf, prompter, clock};

    Station()
    {
        testenv::psql("DELETE FROM managedprogram; SELECT setval('managedprogram_id_seq', 100, false)");
        mp.setObserver(&form);
    }

    ~Station()
    {
        for (auto &e : mp.managedPrograms) {
            if (e.process && e.process->pReady)
                e.process->killProcess();
        }
    }

    // A row of `machineid` in the table and, for this station, its entry.
    kv::ManagedProgram *add(const QString &name, const char *program, const QString &arguments, bool runOnStart,
                            bool restart, int machineid = 41)
    {
        const QFileInfo fi(QString::fromUtf8(program));
        const QString path = fi.absolutePath() + QLatin1Char('/');
        const std::string id = testenv::psql(
            "INSERT INTO managedprogram (name, path, executable, arguments, runonstart, restartonfailure, "
            "machineid) VALUES (" + literal(name) + ", " + literal(path) + ", " + literal(fi.fileName()) + ", " +
            literal(arguments) + ", " + (runOnStart ? "true" : "false") + ", " + (restart ? "true" : "false") +
            ", " + std::to_string(machineid) + ") RETURNING id");
        if (machineid != 41)
            return nullptr;
        kv::ManagedProgram e;
        e.id = qint16(std::stoi(id));
        e.name = name;
        e.path = path;
        e.executable = fi.fileName();
        e.arguments = arguments;
        e.runOnStart = runOnStart;
        e.restartOnFailure = restart;
        mp.managedPrograms.push_back(std::move(e));
        return &mp.managedPrograms.back();
    }

    // Three programs of this station and one of another.
    void standardStation()
    {
        add(QStringLiteral("Till"), childhelpers::kv_child_exit_after, QStringLiteral("60000"), true, false);
        add(QStringLiteral("Reader"), childhelpers::kv_child_echo, QStringLiteral("out:hello"), false, true);
        add(QStringLiteral("Scale"), childhelpers::kv_child_exit_after, QString(), true, true);
        add(QStringLiteral("Elsewhere"), childhelpers::kv_child_echo, QString(), true, true, 7);
    }

    int id(int index) const { return mp.managedPrograms.at(std::size_t(index)).id; }
};

} // namespace form1test
