// A station for the program manager's tests: rows in the real cluster's
// managedprogram table, the same programs as entries of managedPrograms, and
// the window's logic attached to the supervision as the launcher attaches it.
#pragma once

#include "programs/Form1.h"
#include "recordingsinks.h"

#include "childhelpers.h"
#include "clustersettings.h"
#include "scriptedprompter.h"
#include "tillscenario.h"

#include <QFileInfo>

#include <map>
#include <sstream>
#include <string>

namespace form1test {

const QString kEcho = QString::fromUtf8(childhelpers::kv_child_echo);
const QString kExitAfter = QString::fromUtf8(childhelpers::kv_child_exit_after);

// Every row of managedprogram by id, as "name|path|executable|arguments|
// runonstart|restartonfailure|machineid" (test texts hold no "|").
inline std::map<int, std::string> rows()
{
    std::istringstream in(testenv::psql("SELECT id, name, path, executable, arguments, runonstart, "
                                        "restartonfailure, machineid FROM managedprogram"));
    std::map<int, std::string> out;
    for (std::string line; std::getline(in, line);)
        out[std::stoi(line)] = line.substr(line.find('|') + 1);
    return out;
}

// The row an entry of station 41 is stored as.
inline std::string rowOf(const kv::ManagedProgram &e)
{
    return (QStringList{e.name, e.path, e.executable, e.arguments}.join(QLatin1Char('|'))).toStdString() +
           (e.runOnStart ? "|t" : "|f") + (e.restartOnFailure ? "|t" : "|f") + "|41";
}

struct Station : tilltest::Till {
    testsupport::ScriptedPrompter prompter;
    kv::FakeClock clock;
    kv::LauncherSettings shellConf = testsupport::clusterSettings();
    testsupport::RecordingEventLog events;
    kv::ManagedPrograms mp{ctx, prompter, clock, shellConf, events};
    // Jobs run inside the hand-over; their findings are taken at a tick.
    kv::InlineWorker worker;
    kv::Form1 form{mp, shellConf, prompter, clock, worker};

    Station() : Till(41)
    {
        shellConf.stationid = QStringLiteral("41");
        // A fresh table: rows a DELETE freed are reused out of order, and the rows
        // come back in the order the table holds them.
        testenv::psql("TRUNCATE managedprogram; SELECT setval('managedprogram_id_seq', 100, false)");
        mp.setObserver(&form);
    }
    ~Station()
    {
        for (auto &e : mp.managedPrograms) {
            if (e.process && e.process->pReady)
                e.process->killProcess();
        }
    }

    // A row of `machineid` and, for station 41, its entry.
    void add(const QString &name, const QString &program, const QString &arguments, bool runOnStart, bool restart,
             int machineid = 41)
    {
        kv::ManagedProgram e;
        e.name = name;
        e.path = QFileInfo(program).absolutePath() + QLatin1Char('/');
        e.executable = QFileInfo(program).fileName();
        e.arguments = arguments;
        e.runOnStart = runOnStart;
        e.restartOnFailure = restart;
        e.id = qint16(addProgram(e.name, e.path, e.executable, e.arguments, runOnStart, restart,
                                 QString::number(machineid)));
        if (machineid == 41)
            mp.managedPrograms.push_back(std::move(e));
    }

    // Three programs of this station and one of another.
    void standardStation()
    {
        add(QStringLiteral("Till"), kExitAfter, QStringLiteral("60000"), true, false);
        add(QStringLiteral("Reader"), kEcho, QStringLiteral("out:hello"), false, true);
        add(QStringLiteral("Scale"), kExitAfter, QStringLiteral("60000"), true, true);
        add(QStringLiteral("Elsewhere"), kEcho, QString(), true, true, 7);
    }

    int id(int index) const { return mp.managedPrograms.at(std::size_t(index)).id; }
};

} // namespace form1test
