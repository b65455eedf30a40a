// korvantis-fleet: rows judged, shown and answered as a plugin, without a
// database; then the command against the test cluster (TLS only, as a
// careful site runs it), with a store that does not answer and an odd row.
#include "fleet.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>

namespace {

testenv::Run fleetCommand(const QStringList &args, const QString &variable = {}, const QString &value = {})
{
    QProcessEnvironment env = testenv::pgEnvironment();
    if (!variable.isEmpty())
        env.insert(variable, value);
    return testenv::run(QStringLiteral(KV_FLEET_EXE), args, env);
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

// The server's clock in the rows below: 2026-12-07T08:00:00Z.
constexpr double kNow = 1796630400;

// A row as row_to_json gives a launcher's; `set` replaces members (raw JSON).
std::string rowJson(const std::map<std::string, std::string> &set = {})
{
    std::map<std::string, std::string> row{
        {"stationid", "2"}, {"host", "\"till2\""}, {"version", "\"0.1\""},
        {"started_at", "\"2026-12-07T07:00:00.25+00:00\""}, {"heartbeat", "\"2026-12-07T07:59:58.5+00:00\""},
        {"database_ok", "true"}, {"outages", "0"}, {"printer", "\"receipt\""}, {"printer_reasons", "[]"},
        {"printer_error", "null"}, {"receipts_waiting", "0"}, {"oldest_receipt_at", "null"},
        {"programs", R"([{"name": "Korvantis", "running": true, "runonstart": true, "awaiting_restart": false, "failures": 0}])"},
        {"stopped", "null"}};
    for (const auto &[k, v] : set)
        row[k] = v;
    std::string out;
    for (const auto &[k, v] : row)
        out += (out.empty() ? "{" : ", ") + ("\"" + k + "\": " + v);
    return out + "}";
}

std::string programs(const std::string &program)
{
    return "[{\"name\": \"Card reader\", \"runonstart\": true, " + program + "}]";
}

TEST(FleetRows, EachRowJudgedShownAndAnsweredAsItsTillsOwn)
{
    struct Case {
        const char *name;
        std::string row;
        double bound;
        const char *state;
        // The start of the first reason; and a piece of the table's line.
        std::string reason;
        std::string shown;
    };
    const std::string late = "\"2026-12-07T07:58:25+00:00\"";
    const std::vector<Case> cases{
        {"all well", rowJson(), 75, "ok", "", "till2"},
        {"paper out", rowJson({{"printer_reasons", R"(["media-empty-error"])"}}), 75, "warning",
         "printer: media-empty-error", "receipt: media-empty-error"},
        {"a finished job is nothing", rowJson({{"printer_reasons", R"(["cups-waiting-for-job-completed"])"}}), 75,
         "ok", "", "receipt: ok"},
        {"an older printer's lasting reason is information",
         rowJson({{"printer_reasons", R"(["kv-escpos-no-process-id-report"])"}}), 75, "ok", "",
         "receipt: ok (kv-escpos-no-process-id-report)"},
        {"print server unanswered", rowJson({{"printer_error", "\"cannot open printer receipt: no answer\""}}), 75,
         "warning", "printer: cannot open printer receipt", ""},
        // Judged by its own bound (60 s), not the heartbeat's.
        {"a receipt waiting past its bound",
         rowJson({{"receipts_waiting", "3"}, {"oldest_receipt_at", "\"2026-12-07T07:58:50+00:00\""}}), 75, "warning",
         "3 receipts waiting, oldest 70 s", "3, oldest 70 s"},
        {"a receipt just queued",
         rowJson({{"receipts_waiting", "1"}, {"oldest_receipt_at", "\"2026-12-07T07:59:55+00:00\""}}), 75, "ok", "",
         ""},
        {"crashing program",
         rowJson({{"programs", programs(R"j("running": false, "awaiting_restart": true, "failures": 5, "ended": "ended by signal 11 (SIGSEGV)", "ended_s_ago": 4)j")}}),
         75, "warning", "program \"Card reader\": crashing, 5 failures, last 6 s ago (ended by signal 11",
         "\"Card reader\": crashing"},
        {"ended once, not restarted",
         rowJson({{"programs", programs(R"j("running": false, "awaiting_restart": false, "failures": 0, "ended": "exited with status 3", "ended_s_ago": 2)j")}}),
         75, "warning", "program \"Card reader\": down (exited with status 3)", ""},
        {"crashes long ago, running now",
         rowJson({{"programs", programs(R"j("running": true, "awaiting_restart": false, "failures": 9, "ended_s_ago": 700, "ended": "x")j")}}),
         75, "ok", "", ""},
        {"database check failed", rowJson({{"database_ok", "false"}, {"outages", "2"}}), 75, "warning",
         "database: last check failed (2 outages)", "failed, 2 outages"},
        {"heartbeat stale, in another zone", rowJson({{"heartbeat", "\"2026-12-07T08:58:25.000001+01:00\""}}), 75,
         "down", "heartbeat 95 s old", "95 s ago"},
        {"stale within the bound given", rowJson({{"heartbeat", late}}), 120, "ok", "", ""},
        // One 22 s heartbeat lost and the next one late is not a till down.
        {"two heartbeats missed", rowJson({{"heartbeat", "\"2026-12-07T07:58:50+00:00\""}}), fleet::Limits().boundS,
         "ok", "", ""},
        {"stopped from the menu an hour ago",
         rowJson({{"heartbeat", "\"2026-12-07T07:00:00+00:00\""}, {"stopped", "\"exit\""},
                  {"printer_reasons", R"(["media-empty-error"])"}}),
         75, "stopped", "stopped: exit", "stopped"},
        // A till's own text is shown, never acted on.
        {"control characters in host", rowJson({{"host", R"("till\u001b]2;x\u0007\u202e\nfake 9 ok")"}}), 75, "ok",
         "", R"(till\x1b]2;x\x07\u202e\x0afake 9 ok)"},
        {"a | in a reason", rowJson({{"printer_reasons", R"(["a | b=1;2 'x'"])"}}), 75, "warning",
         "printer: a | b=1;2 'x'", ""},
        {"a huge host name", rowJson({{"host", "\"" + std::string(5'000'000, 'h') + "\""}}), 75, "ok", "", "hhh…"},
        {"a row of another shape",
         R"({"stationid": 7, "heartbeat": "2026-12-07T08:00:00+00:00", "hostname": "x", "host": null, "outages": "lots",)"
         R"( "printer_reasons": null, "programs": [{"name": 3, "failures": "many", "running": "no"}, 4]})",
         75, "warning", "status row: program 2 is not an object", "status row: program 2"},
        {"a row without id or heartbeat", R"({"stationid": "7; DROP", "heartbeat": "soon"})", 75, "warning",
         "status row: stationid 7; DROP is not a whole number", "?"},
    };
    // Every line of a status line's performance data: ours, with numbers.
    const QRegularExpression perfData(R"(^( [a-z_]+=\d+;[0-9:~@.]*;[0-9:~@.]*;0(;\d+)?)+$)");
    // Bytes a terminal acts on (line ends included): in JSON text raw ones are
    // no JSON, though Qt's parser takes them.
    const auto controls = [](const std::string &text) {
        return std::count_if(text.begin(), text.end(), [](char ch) { return (ch >= 0 && ch < 0x20) || ch == 0x7f; });
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fleet::Limits limits;
        limits.boundS = c.bound;
        fleet::Station s = fleet::readRow("north", kNow, c.row);
        fleet::judge(s, limits);
        EXPECT_STREQ(fleet::stateName(s.state), c.state);
        if (c.reason.empty())
            EXPECT_TRUE(s.reasons.empty()) << s.reasons.front();
        else
            EXPECT_TRUE(!s.reasons.empty() && s.reasons.front().rfind(c.reason, 0) == 0)
                << (s.reasons.empty() ? "no reason" : s.reasons.front());

        // The same shape whatever the till wrote: a header and one line, short,
        // with no byte a terminal acts on.
        const std::string table = fleet::table({s}, true);
        EXPECT_EQ(controls(table), 2) << table.substr(0, 400);
        EXPECT_LT(table.size(), 1000u);
        EXPECT_NE(table.substr(table.find('\n')).find(c.shown), std::string::npos) << table.substr(0, 400);

        // Whatever the till wrote, the office's JSON parses, its three line ends its only controls.
        const std::string text = fleet::json({s});
        EXPECT_EQ(controls(text), 3) << text.substr(0, 400);
        const QJsonArray json = QJsonDocument::fromJson(QByteArray::fromStdString(text)).array();
        EXPECT_EQ(json.at(0).toObject().value("state").toString().toStdString(), c.state);

        const fleet::Check check = fleet::check({s}, *fleet::parseRange("0"), *fleet::parseRange("0"), true);
        const std::string state = c.state;
        EXPECT_EQ(check.exitCode, state == "down" ? 2 : state == "warning" ? 1 : 0) << check.line;
        EXPECT_EQ(controls(check.line), 0) << check.line;
        const std::size_t bar = check.line.find('|');
        ASSERT_NE(bar, std::string::npos) << check.line;
        EXPECT_EQ(check.line.find('|', bar + 1), std::string::npos) << check.line;
        EXPECT_TRUE(perfData.match(QString::fromStdString(check.line.substr(bar + 1))).hasMatch()) << check.line;
        EXPECT_LT(check.line.size(), 600u);
    }
}

TEST(FleetCheck, ThresholdRangesOfThePluginGuidelines)
{
    struct Case {
        const char *range;
        double value;
        bool alerts;
    };
    for (const Case &c : std::vector<Case>{{"10", 10, false}, {"10", 11, true}, {"10", -1, true}, {"10:", 9, true},
                                           {"10:", 1e9, false}, {"~:10", -5, false}, {"~:10", 11, true},
                                           {"10:20", 9, true}, {"10:20", 20, false}, {"10:20", 21, true},
                                           {"@10:20", 15, true}, {"@10:20", 9, false}, {"@0:0", 0, true},
                                           {"1.5", 2, true}}) {
        const auto range = fleet::parseRange(c.range);
        ASSERT_TRUE(range) << c.range;
        EXPECT_EQ(range->alerts(c.value), c.alerts) << c.range << " " << c.value;
    }
    for (const char *wrong : {"", "x", "20:10", "@", "1:2:3", "inf", "~", "10;20"})
        EXPECT_FALSE(fleet::parseRange(wrong)) << wrong;
}

// A chain: a store that refuses, one that takes the connection and never
// answers, a till down to the bound given, a till whose row the statement that
// read every row at once could not read, one that is well.
TEST_F(FleetCommand, ChainWithStoresThatDoNotAnswerAndAnOddRowWorstFirst)
{
    testenv::psql(statusRow(1) + statusRow(6, "heartbeat = now() - interval '40 s'") +
                  statusRow(7, "printer = NULL, programs = '[{\"name\": 5, \"failures\": \"many\", "
                               "\"ended_s_ago\": \"soon\", \"running\": \"no\"}, 3]'"));
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    ASSERT_TRUE(::bind(silent, reinterpret_cast<sockaddr *>(&addr), size) == 0 && ::listen(silent, 4) == 0 &&
                ::getsockname(silent, reinterpret_cast<sockaddr *>(&addr), &size) == 0);
    const QStringList chain{"--timeout=2", "--bound=30", "-d", "", "-d", "host=127.0.0.1 port=1 dbname=nostore", "-d",
                            QStringLiteral("host=127.0.0.1 port=%1 dbname=silent").arg(ntohs(addr.sin_port))};
    const testenv::Run table = fleetCommand(chain);
    ASSERT_EQ(table.exitCode, 0) << table.err.toStdString();
    const QStringList lines = table.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 6) << table.out.toStdString();
    // The stores that do not answer and the till that is down come first,
    // the odd row is its till's warning, the one that is well last.
    EXPECT_TRUE(lines[1].contains(" down ") && lines[2].contains(" down ") && lines[3].contains(" down "))
        << table.out.toStdString();
    EXPECT_TRUE(table.out.contains("nostore") && table.out.contains("silent")) << table.out.toStdString();
    EXPECT_TRUE(lines[4].contains("till7") && lines[4].contains(" warning ")) << table.out.toStdString();
    EXPECT_TRUE(lines[5].contains(" ok ")) << table.out.toStdString();
    const testenv::Run check = fleetCommand(QStringList({"--check"}) << chain);
    EXPECT_EQ(check.exitCode, 2) << check.out.toStdString();
    // libpq's reason, not only the store's name.
    EXPECT_TRUE(check.out.contains("nostore") && check.out.contains("refused")) << check.out.toStdString();
    // Without the silent store, which only costs its timeout once more.
    const testenv::Run json = fleetCommand(QStringList({"--json"}) << chain.mid(0, 6));
    EXPECT_EQ(json.exitCode, 0) << json.err.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(json.out.toUtf8()).array().size(), 4) << json.out.toStdString();
    ::close(silent);

    // A command line that is wrong is the plugin's UNKNOWN, on stdout, naming what is wrong.
    struct Wrong {
        QStringList args;
        const char *variable, *value, *named;
    };
    for (const Wrong &w : std::vector<Wrong>{
             {{"--timeout", "99999999999"}, "", "", "--timeout"},
             {{"-s", "north sslmode=disable"}, "", "", "north sslmode=disable"},
             {{"-w", "1:", "-c", "10:5"}, "", "", "-c"},
             {{}, "PGSSLROOTCERT", "/nonexistent/root.crt", "/nonexistent/root.crt"},
         }) {
        const testenv::Run run = fleetCommand(QStringList({"--check"}) << w.args, w.variable, w.value);
        EXPECT_EQ(run.exitCode, 3) << run.out.toStdString();
        EXPECT_TRUE(run.out.startsWith("FLEET UNKNOWN - ") && run.out.count('\n') == 1 && run.out.contains(w.named))
            << run.out.toStdString();
    }
}

// --watch as an office leaves it open: each frame reads the rows again, and
// a session the server ended is made again for a later frame.
TEST_F(FleetCommand, WatchRedrawsWhatChangedAndComesBackAfterItsSessionEnded)
{
    testenv::psql(statusRow(1) + statusRow(2));
    QProcess watch;
    watch.setProcessEnvironment(testenv::pgEnvironment());
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
    // A station's line in a frame: its state, then its host.
    const auto row = [](const char *host, const char *state) {
        return QRegularExpression(QStringLiteral(" %1 +%2 ").arg(state, host));
    };
    EXPECT_TRUE(frameWith([&](const QString &f) { return f.contains(row("till2", "ok")); })) << seen.toStdString();

    testenv::psql("UPDATE launcherstatus SET heartbeat = now() - interval '95 s' WHERE stationid = 2");
    EXPECT_TRUE(frameWith([&](const QString &f) { return f.contains(row("till2", "down")); }))
        << seen.toStdString();

    // The server ends the command's session (a restart, an admin): a frame
    // says the store does not answer or reads it again at once, and the
    // frames after it show the stations again.
    testenv::psql("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity "
                  "WHERE application_name = 'korvantis-fleet'");
    testenv::psql("UPDATE launcherstatus SET heartbeat = now() WHERE stationid = 2");
    EXPECT_TRUE(frameWith([&](const QString &f) {
        return f.contains(row("till1", "ok")) && f.contains(row("till2", "ok")) &&
               testenv::psql("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'korvantis-fleet'") ==
                   "1\n";
    })) << seen.toStdString();
    watch.kill();
    watch.waitForFinished(5000);
}

} // namespace
