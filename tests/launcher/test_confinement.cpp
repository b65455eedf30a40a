// A site's database made from the package's SQL files, with tills confined
// to their stations: with one till's login every write that would reach
// another station, a template or config fails, and the till's own work (the
// update's credentials, a receipt routed to it, read and deleted through the
// client library) succeeds. The whole launcher under such a login is in
// test_launcher_e2e.
#include "draldb.h"
#include "escpos/vbPosCommands.h"
#include "launcher/stationstatus.h"
#include "tempdir.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <libpq-fe.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const std::string kPid = std::to_string(::getpid());

// One login's session on a database of the test cluster.
class Session {
public:
    Session(const std::string &database, const std::string &user, const std::string &password)
    {
        const testenv::Db db = testenv::database();
        const std::string host = db.host.toStdString(), port = std::to_string(db.port);
        const char *keys[] = {"host", "port", "dbname", "user", "password", nullptr};
        const char *values[] = {host.c_str(), port.c_str(), database.c_str(), user.c_str(), password.c_str(), nullptr};
        m_conn = PQconnectdbParams(keys, values, 0);
        if (PQstatus(m_conn) != CONNECTION_OK) {
            const std::string why = user + " cannot log in: " + PQerrorMessage(m_conn);
            PQfinish(m_conn);
            throw std::runtime_error(why);
        }
    }
    ~Session() { PQfinish(m_conn); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Rows a statement returned or changed (any other command that succeeded
    // counts as 1); -1 when it failed.
    int touched(const std::string &sql)
    {
        PGresult *r = PQexec(m_conn, sql.c_str());
        int n = -1;
        if (PQresultStatus(r) == PGRES_TUPLES_OK)
            n = PQntuples(r);
        else if (PQresultStatus(r) == PGRES_COMMAND_OK)
            n = *PQcmdTuples(r) ? std::stoi(PQcmdTuples(r)) : 1;
        PQclear(r);
        return n;
    }

    // The first value of a query's first row; "" when there is none.
    std::string value(const std::string &sql)
    {
        PGresult *r = PQexec(m_conn, sql.c_str());
        std::string v = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
        PQclear(r);
        return v;
    }

private:
    PGconn *m_conn = nullptr;
};

std::string take(char *text)
{
    std::string copy = text ? text : "";
    draldb_free(text);
    return copy;
}

struct Row {
    const char *what;
    const char *sql;
};

// Each must fail or touch nothing, run by the till of station 7 while
// station 8 has programs and receipts. Last: a temporary table in the place
// of the station map, so that the rows before it are tried once without it.
const std::vector<Row> kDeniedToTheTill = {
    {"reads station 8's programs", "SELECT * FROM managedprogram WHERE machineid = 8"},
    {"reprograms station 8", "UPDATE managedprogram SET executable = 'evil' WHERE machineid = 8"},
    {"adds a program to station 8", "INSERT INTO managedprogram (name, executable, machineid) VALUES ('x', 'evil', 8)"},
    {"moves its own program to station 8", "UPDATE managedprogram SET machineid = 8 WHERE machineid = 7"},
    {"deletes station 8's programs", "DELETE FROM managedprogram WHERE machineid = 8"},
    {"edits a template", "UPDATE managedprogram SET executable = 'evil' WHERE machineid IS NULL"},
    {"adds a template", "INSERT INTO managedprogram (name, executable) VALUES ('x', 'evil')"},
    {"deletes a template", "DELETE FROM managedprogram WHERE machineid IS NULL"},
    {"reads station 8's receipts", "SELECT * FROM poscommands WHERE stationid = 8"},
    {"deletes station 8's receipts", "DELETE FROM poscommands WHERE stationid = 8"},
    {"opens station 8's drawer", "INSERT INTO poscommands (stationid, device) VALUES (8, 2)"},
    {"rewrites station 8's receipt", "UPDATE poscommands SET command = 'evil' WHERE stationid = 8"},
    {"takes station 8's receipt", "UPDATE poscommands SET stationid = 7 WHERE stationid = 8"},
    {"empties the queue", "TRUNCATE poscommands"},
    {"changes the update's credentials", "UPDATE config SET te_password = 'evil'"},
    {"adds a config row", "INSERT INTO config VALUES (99, 'evil', 'evil')"},
    {"deletes config", "DELETE FROM config"},
    {"confines itself to station 8", "SELECT korvantis_add_till(current_user, NULL, 8)"},
    {"maps itself to station 8", "UPDATE korvantis_till SET station = 8"},
    {"maps a role of its own", "INSERT INTO korvantis_till VALUES ('kvother', 8)"},
    {"reads the other tills' map", "SELECT * FROM korvantis_till WHERE role <> current_user"},
    {"writes station 8's status", "UPDATE launcherstatus SET heartbeat = now() WHERE stationid = 8"},
    {"writes a status row for station 9", "INSERT INTO launcherstatus (stationid, host, version) VALUES (9, 'x', '0')"},
    {"turns the policies off", "ALTER TABLE poscommands DISABLE ROW LEVEL SECURITY"},
    {"drops a policy", "DROP POLICY korvantis_others ON managedprogram"},
    {"becomes the owner", "SET ROLE kvtest"},
    {"reprograms station 8 through a map of its own",
     "CREATE TEMP TABLE korvantis_till (role name, station integer); "
     "INSERT INTO korvantis_till VALUES (current_user, 8); "
     "UPDATE managedprogram SET executable = 'evil' WHERE machineid = 8"},
};

const std::vector<Row> kDeniedToTheFrontEnd = {
    {"reads receipts", "SELECT * FROM poscommands"},
    {"deletes receipts", "DELETE FROM poscommands"},
    {"rewrites a receipt", "UPDATE poscommands SET command = 'evil'"},
    {"reads programs", "SELECT * FROM managedprogram"},
    {"reprograms a till", "UPDATE managedprogram SET executable = 'evil'"},
    {"adds a program", "INSERT INTO managedprogram (name, executable, machineid) VALUES ('x', 'evil', 7)"},
    {"reads the update's credentials", "SELECT * FROM config"},
    {"writes a till's status", "UPDATE launcherstatus SET heartbeat = now()"},
};

class Confinement : public testing::Test {
protected:
    const std::string database = "kvconfined" + kPid;
    const std::string till = "kvtill" + kPid, frontEnd = "kvfront" + kPid, shared = "kvshared" + kPid;

    std::unique_ptr<Session> owner;

    std::string superuser(const std::string &sql) { return testenv::psqlOn(database, "-c", sql, true); }
    // Everything in the four tables, as the owner sees it.
    std::string data()
    {
        return owner->value("SELECT md5(string_agg(r, ',' ORDER BY r)) FROM (SELECT 'm' || m::text AS r "
                            "FROM managedprogram m UNION ALL SELECT 'p' || p::text FROM poscommands p "
                            "UNION ALL SELECT 'c' || c::text FROM config c "
                            "UNION ALL SELECT 's' || s::text FROM launcherstatus s) t");
    }

    void SetUp() override
    {
        testenv::psqlOn("postgres", "-c", "CREATE DATABASE " + database + " OWNER kvtest", true);
        testenv::psqlOn(database, "-f", KV_SOURCE_DIR "/packaging/database.sql");
        testenv::psqlOn(database, "-f", KV_SOURCE_DIR "/docs/notify-by-station.sql");
        owner = std::make_unique<Session>(database, testenv::database().user.toStdString(),
                                          testenv::database().password.toStdString());
        ASSERT_EQ(owner->touched("UPDATE config SET te_username = 'te', te_password = 'secret'; "
                                 "INSERT INTO managedprogram (name, executable, machineid) VALUES "
                                 "('Card reader', 'reader', NULL), ('Scale', 'scale', 7), ('Scale', 'scale', 8); "
                                 "INSERT INTO poscommands (stationid, device, command) VALUES "
                                 "(8, 1, 'Coffee 1.80'), (7, 1, 'Tea 2.20'); "
                                 "INSERT INTO launcherstatus (stationid, host, version) VALUES (8, 'till8', '1')"),
                  1);
    }
    void TearDown() override
    {
        owner.reset();
        testenv::psqlOn("postgres", "-c", "DROP DATABASE " + database + " WITH (FORCE)", true);
        testenv::psqlOn("postgres", "-c", "DROP ROLE IF EXISTS " + till + ", " + frontEnd + ", " + shared, true);
    }
};

TEST_F(Confinement, ATillsLoginReachesOnlyItsOwnStationAndAFrontEndsOnlyQueues)
{
    // Added to a running site twice over, it leaves every row as it was. The
    // till's role had the shared set-up's grants, and more.
    const std::string before = data();
    superuser("CREATE ROLE " + till + " LOGIN; GRANT SELECT, UPDATE ON config TO " + till +
              "; GRANT SELECT, INSERT, UPDATE ON managedprogram TO " + till +
              "; GRANT SELECT, DELETE ON poscommands TO " + till + "; CREATE ROLE " + shared +
              " LOGIN PASSWORD 'pw'; GRANT SELECT, UPDATE ON managedprogram, poscommands TO " + shared);
    testenv::psqlOn(database, "-f", KV_SOURCE_DIR "/packaging/confined-tills.sql", true);
    testenv::psqlOn(database, "-f", KV_SOURCE_DIR "/packaging/confined-tills.sql", true);
    EXPECT_EQ(data(), before);
    superuser("SELECT korvantis_add_till('" + till + "', 'pw', 7), korvantis_add_frontend('" + frontEnd +
              "', 'pw'); INSERT INTO korvantis_till VALUES ('kvtill8', 8)");
    EXPECT_EQ(data(), before);

    Session tillSession(database, till, "pw");
    Session frontEndSession(database, frontEnd, "pw");
    for (const auto &[session, rows] : {std::pair{&tillSession, &kDeniedToTheTill},
                                        std::pair{&frontEndSession, &kDeniedToTheFrontEnd}}) {
        for (const Row &row : *rows) {
            EXPECT_LE(session->touched(row.sql), 0)
                << (session == &tillSession ? "the till " : "the front-end ") << row.what << ": " << row.sql;
            EXPECT_EQ(data(), before) << row.what;
        }
    }

    // What stays the till's: its own status row, as the launcher writes it,
    // the update's credentials, and its receipts,
    // queued by the front-end with no NOTIFY, routed to it, read and deleted
    // through the client library as the launcher does.
    kv::StationStatus::Row status;
    status.station = QStringLiteral("7");
    status.host = QStringLiteral("till'7");
    status.version = QStringLiteral("1");
    status.programsJson = QStringLiteral("[]");
    for (int write = 0; write < 2; ++write)
        EXPECT_EQ(tillSession.touched(kv::StationStatus::upsertStatement(status).toStdString()), 1) << "write " << write;
    EXPECT_EQ(tillSession.touched("SELECT te_username, te_password FROM config WHERE te_password = 'secret'"), 1);
    testsupport::TempAppDir app;
    const testenv::Db db = testenv::database();
    app.write(QStringLiteral("shell.conf"),
              QStringLiteral("db_host = %1\r\ndb_name = %2\r\ndb_username = %3\r\ndb_password = pw\r\n"
                             "stationid = 7\r\n")
                  .arg(db.host, QString::fromStdString(database), QString::fromStdString(till))
                  .toUtf8());
    const int32_t library = system_init(app.file(QStringLiteral("dralfrontend.exe")).toStdString().c_str());
    ASSERT_NE(library, 0);
    VB_notify_listen(library, "poscommands");
    EXPECT_EQ(frontEndSession.touched("INSERT INTO poscommands (stationid, device, command) "
                                      "VALUES (7, 1, 'Milk 0.90')"),
              1);
    std::string heard;
    EXPECT_TRUE(testenv::pollUntil([&] { return !(heard = take(VB_notify_check(library))).empty(); },
                                   std::chrono::seconds(5)));
    EXPECT_EQ(heard, "poscommands");
    int32_t rs = 0;
    take(VB_new_sql(library, kv::poscommands::queueQuery(QStringLiteral("7")).toStdString().c_str(), &rs, 0));
    ASSERT_NE(rs, 0);
    ASSERT_EQ(VB_numrecord(rs), 2);
    for (int32_t i = 0; i < 2; ++i) {
        int32_t row = VB_moveto(rs, i);
        EXPECT_EQ(take(VB_delete(rs, "poscommands", &row)), "");
    }
    VB_free(&rs);
    EXPECT_EQ(owner->value("SELECT string_agg(command, ',') FROM poscommands"), "Coffee 1.80");

    // A role of the shared set-up still sees and edits every station.
    Session sharedSession(database, shared, "pw");
    EXPECT_EQ(sharedSession.touched("UPDATE managedprogram SET name = name"), 3);
    EXPECT_EQ(sharedSession.touched("SELECT * FROM poscommands WHERE stationid = 8"), 1);
}

} // namespace
