// korvantis-fleet against the test cluster, with status rows as launchers
// leave them; and a till confined to its own status row.
#include "launcher/stationstatus.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QDeadlineTimer>
#include <QProcess>

#include <functional>

#include <stdexcept>

namespace {

struct FleetRun {
    int exitCode = -1;
    QString out;
    QString err;
};

// The database from PG* variables, as an office runs the command.
QProcessEnvironment officeEnvironment()
{
    const auto db = testenv::database();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PGHOST", db.host);
    env.insert("PGPORT", QString::number(db.port));
    env.insert("PGDATABASE", db.name);
    env.insert("PGUSER", db.user);
    env.insert("PGPASSWORD", db.password);
    return env;
}

FleetRun fleetCommand(const QStringList &args)
{
    QProcess p;
    p.setProcessEnvironment(officeEnvironment());
    p.start(QStringLiteral(KV_FLEET_EXE), args);
    if (!p.waitForFinished(30000))
        throw std::runtime_error("korvantis-fleet did not end");
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QJsonObject stationIn(const QString &json, int station)
{
    for (const QJsonValue v : QJsonDocument::fromJson(json.toUtf8()).array())
        if (v.toObject().value("station").toInt(-1) == station)
            return v.toObject();
    return {};
}

// A row as a launcher writes it; `set` overrides columns.
std::string statusRow(int station, const std::string &set = std::string())
{
    return "INSERT INTO launcherstatus (stationid, host, version, started_at, heartbeat, database_ok, outages, "
           "printer, printer_reasons, programs) VALUES (" +
           std::to_string(station) + ", 'till" + std::to_string(station) +
           "', '0.1', now() - interval '1 hour', now(), true, 0, 'receipt', '{}', "
           "'[{\"name\": \"Korvantis\", \"running\": true, \"runonstart\": true, \"awaiting_restart\": false, "
           "\"failures\": 0}]'); " +
           (set.empty() ? std::string() : "UPDATE launcherstatus SET " + set + " WHERE stationid = " +
                                              std::to_string(station) + "; ");
}

class FleetCommand : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The table as a site gets it, from the package's file.
        testenv::psqlOn(testenv::database().name.toStdString(), "-f", KV_DATABASE_SQL);
    }
    void SetUp() override { testenv::psql("DELETE FROM launcherstatus"); }
};

TEST_F(FleetCommand, StatesReasonsAndPluginExitCodes)
{
    const std::string crashing =
        "programs = '[{\"name\": \"Card reader\", \"running\": false, \"runonstart\": true, "
        "\"awaiting_restart\": true, \"failures\": 5, \"ended\": \"ended by signal 11 (SIGSEGV)\", "
        "\"ended_s_ago\": 4}]'";
    struct Case {
        const char *name;
        std::string rows;
        QStringList args;
        int exitCode;
        // The station looked at, its state and the start of its first reason.
        int station;
        const char *state;
        QString reason;
    };
    const std::vector<Case> cases{
        {"all well", statusRow(1) + statusRow(2), {}, 0, 1, "ok", {}},
        {"paper out", statusRow(1) + statusRow(2, "printer_reasons = '{media-empty-error}'"), {}, 1, 2, "warning",
         "printer: media-empty-error"},
        {"a finished job is nothing", statusRow(2, "printer_reasons = '{cups-waiting-for-job-completed}'"), {}, 0, 2,
         "ok", {}},
        {"print server unanswered", statusRow(2, "printer_error = 'cannot open printer receipt: no answer'"), {}, 1,
         2, "warning", "printer: cannot open printer receipt"},
        {"receipts waiting long", statusRow(3, "receipts_waiting = 3, oldest_receipt_at = now() - interval '95 s'"),
         {}, 1, 3, "warning", "3 receipts waiting, oldest 9"},
        {"a receipt just queued", statusRow(3, "receipts_waiting = 1, oldest_receipt_at = now() - interval '5 s'"),
         {}, 0, 3, "ok", {}},
        {"crashing program", statusRow(4, crashing), {}, 1, 4, "warning",
         "program \"Card reader\": crashing, 5 failures, last "},
        {"ended once, not restarted", statusRow(4, "programs = '[{\"name\": \"Card reader\", \"running\": false, "
                                                   "\"runonstart\": true, \"awaiting_restart\": false, \"failures\": 0, "
                                                   "\"ended\": \"exited with status 3\", \"ended_s_ago\": 2}]'"),
         {}, 1, 4, "warning", "program \"Card reader\": down (exited with status 3)"},
        {"crashes long ago, running now",
         statusRow(4, "programs = '[{\"name\": \"Card reader\", \"running\": true, \"runonstart\": true, "
                      "\"awaiting_restart\": false, \"failures\": 9, \"ended_s_ago\": 700, \"ended\": \"x\"}]'"),
         {}, 0, 4, "ok", {}},
        {"database check failed", statusRow(5, "database_ok = false, outages = 2"), {}, 1, 5, "warning",
         "database: last check failed (2 outages)"},
        {"heartbeat stale", statusRow(1) + statusRow(6, "heartbeat = now() - interval '95 s'"), {}, 2, 6, "down",
         "heartbeat 9"},
        {"stale within the bound given", statusRow(6, "heartbeat = now() - interval '95 s'"), {"--bound", "120"}, 0,
         6, "ok", {}},
        {"one down allowed", statusRow(6, "heartbeat = now() - interval '95 s'"), {"-c", "1"}, 1, 6, "down",
         "heartbeat 9"},
        {"warnings allowed", statusRow(2, "printer_reasons = '{media-empty-error}'"), {"-w", "1"}, 0, 2, "warning",
         "printer: media-empty-error"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testenv::psql("DELETE FROM launcherstatus; " + c.rows);
        const FleetRun check = fleetCommand(QStringList({"--check"}) << c.args);
        EXPECT_EQ(check.exitCode, c.exitCode) << check.out.toStdString() << check.err.toStdString();
        EXPECT_EQ(check.out.count('\n'), 1) << check.out.toStdString();
        EXPECT_TRUE(check.out.contains(" | stations=")) << check.out.toStdString();
        if (c.exitCode != 0 && QLatin1String(c.state) != QLatin1String("ok")) {
            EXPECT_TRUE(check.out.contains(QString::number(c.station))) << check.out.toStdString();
        }
        const FleetRun json = fleetCommand(QStringList({"--json"}) << c.args);
        ASSERT_EQ(json.exitCode, 0) << json.err.toStdString();
        const QJsonObject s = stationIn(json.out, c.station);
        EXPECT_EQ(s.value("state").toString(), QLatin1String(c.state)) << json.out.toStdString();
        const QJsonArray reasons = s.value("reasons").toArray();
        if (c.reason.isEmpty()) {
            EXPECT_TRUE(reasons.isEmpty()) << json.out.toStdString();
        } else {
            EXPECT_TRUE(!reasons.isEmpty() && reasons.first().toString().startsWith(c.reason))
                << json.out.toStdString();
        }
    }
}

TEST_F(FleetCommand, ChainWithAStoreThatDoesNotAnswerWorstFirst)
{
    testenv::psql(statusRow(1) + statusRow(6, "heartbeat = now() - interval '95 s'"));
    const QStringList chain{"-d", "", "-d", "host=127.0.0.1 port=1 dbname=nostore connect_timeout=3"};
    const FleetRun table = fleetCommand(chain);
    ASSERT_EQ(table.exitCode, 0) << table.err.toStdString();
    const QStringList lines = table.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << table.out.toStdString();
    EXPECT_TRUE(lines[0].startsWith("STORE")) << table.out.toStdString();
    // The store that does not answer and the till that is down come first, the one that is well last.
    EXPECT_TRUE(lines[1].contains(" down ") && lines[2].contains(" down ")) << table.out.toStdString();
    EXPECT_TRUE((lines[1] + lines[2]).contains("nostore")) << table.out.toStdString();
    EXPECT_TRUE(lines[3].contains(" ok ")) << table.out.toStdString();
    const FleetRun check = fleetCommand(QStringList({"--check"}) << chain);
    EXPECT_EQ(check.exitCode, 2) << check.out.toStdString();
    EXPECT_TRUE(check.out.contains("nostore")) << check.out.toStdString();
    // Usage errors are the plugin's UNKNOWN.
    EXPECT_EQ(fleetCommand({"--check", "--bound", "soon"}).exitCode, 3);
}

// --watch as an office leaves it open: each frame reads the rows again, and
// a session the server ended is made again for a later frame.
TEST_F(FleetCommand, WatchRedrawsWhatChangedAndComesBackAfterItsSessionEnded)
{
    testenv::psql(statusRow(1) + statusRow(2));
    QProcess watch;
    watch.setProcessEnvironment(officeEnvironment());
    watch.start(QStringLiteral(KV_FLEET_EXE), {"--watch", "--interval=1"});
    ASSERT_TRUE(watch.waitForStarted(10000));
    QString seen;
    // The first frame, from the clear-screen on, that `wanted` accepts.
    const auto frameWith = [&](const std::function<bool(const QString &)> &wanted) {
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired()) {
            watch.waitForReadyRead(200);
            seen += QString::fromUtf8(watch.readAllStandardOutput());
            const QStringList frames = seen.split(QStringLiteral("\033[H\033[2J"));
            // The last piece may be a frame still being written.
            for (int i = 0; i + 1 < frames.size(); ++i) {
                if (wanted(frames[i])) {
                    seen = frames.mid(i + 1).join(QStringLiteral("\033[H\033[2J"));
                    return true;
                }
            }
        }
        return false;
    };
    const auto rowOf = [](const QString &frame, const QString &host) {
        for (const QString &line : frame.split('\n'))
            if (line.contains(host))
                return line;
        return QString();
    };
    EXPECT_TRUE(frameWith([&](const QString &f) { return rowOf(f, "till2").contains(" ok "); })) << seen.toStdString();

    testenv::psql("UPDATE launcherstatus SET heartbeat = now() - interval '95 s' WHERE stationid = 2");
    EXPECT_TRUE(frameWith([&](const QString &f) { return rowOf(f, "till2").contains(" down "); }))
        << seen.toStdString();

    // The server ends the command's session (a restart, an admin): a frame
    // says the store does not answer or reads it again at once, and the
    // frames after it show the stations again.
    testenv::psql("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity "
                  "WHERE application_name = 'korvantis-fleet'");
    testenv::psql("UPDATE launcherstatus SET heartbeat = now() WHERE stationid = 2");
    EXPECT_TRUE(frameWith([&](const QString &f) {
        return rowOf(f, "till1").contains(" ok ") && rowOf(f, "till2").contains(" ok ") &&
               testenv::psql("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'korvantis-fleet'") ==
                   "1\n";
    })) << seen.toStdString();
    watch.kill();
    watch.waitForFinished(5000);
}

} // namespace
