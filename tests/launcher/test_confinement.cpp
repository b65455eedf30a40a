// A site's database made from the package's SQL files, with tills confined:
// one table of attempts by each kind of login, each escape refused (or, made
// by the admin after confinement, named by the check), each login's own work
// done. The whole launcher under a till's login is in test_launcher_e2e.
#include "launcher/stationstatus.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <libpq-fe.h>

#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string kPid = std::to_string(::getpid());

// Rows a statement returned or changed (any other command that succeeded
// counts as 1); -1 when it failed. `answer` gets the error, or the first
// column of every row returned.
int touched(PGconn *session, const std::string &sql, std::string *answer = nullptr)
{
    PGresult *r = PQexec(session, sql.c_str());
    int n = -1;
    std::string text = PQresultErrorMessage(r);
    if (PQresultStatus(r) == PGRES_TUPLES_OK) {
        n = PQntuples(r);
        for (int i = 0; i < n; ++i)
            text += std::string(PQgetvalue(r, i, 0)) + "\n";
    } else if (PQresultStatus(r) == PGRES_COMMAND_OK) {
        n = *PQcmdTuples(r) ? std::stoi(PQcmdTuples(r)) : 1;
    }
    PQclear(r);
    if (answer)
        *answer = text;
    return n;
}

// Who makes an attempt: the till of station 7, the front-end (which may open
// station 9's drawer), or the admin (as the superuser, each attempt in a
// transaction rolled back after it, so that the role kvesc it makes never
// outlives it).
enum class As { Till, FrontEnd, Admin };

struct Attempt {
    As as;
    const char *what;
    std::string sql;
    // "": refused, or touches nothing, and every row stays as it was.
    // "=N": succeeds on N rows. Other text: words of the refusal or answer,
    // each between "|" in it.
    std::string expect;
};

class Confinement : public testing::Test {
protected:
    const std::string database = "kvconfined" + kPid;
    const std::string till = "kvtill" + kPid, frontEnd = "kvfront" + kPid, shared = "kvshared" + kPid;

    testenv::Session owner{nullptr, &PQfinish};

    std::string superuser(const std::string &sql) { return testenv::psqlOn(database, "-c", sql, true); }
    // Everything in the four tables, as the owner sees it.
    std::string data()
    {
        std::string sum;
        touched(owner.get(), "SELECT md5(string_agg(r, ',' ORDER BY r)) FROM (SELECT 'm' || m::text AS r "
                       "FROM managedprogram m UNION ALL SELECT 'p' || p::text FROM poscommands p "
                       "UNION ALL SELECT 'c' || c::text FROM config c "
                       "UNION ALL SELECT 's' || s::text FROM launcherstatus s) t",
                       &sum);
        return sum;
    }

    void SetUp() override
    {
        testenv::psqlOn("postgres", "-c", "CREATE DATABASE " + database + " OWNER kvtest", true);
        testenv::psqlOn(database, "-f", KV_SOURCE_DIR "/packaging/database.sql");
        testenv::psqlOn(database, "-f", KV_SOURCE_DIR "/docs/notify-by-station.sql");
        owner = testenv::connect("kvconfinement", database);
        ASSERT_EQ(touched(owner.get(), "UPDATE config SET te_username = 'te', te_password = 'secret'; "
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

// Every attempt of each kind of login, against the shipped SQL: a till or
// front-end reaches no other station's rows and cannot leave its
// confinement; a role that could leave it is never confined, and one changed
// after its confinement is named by the check; what the launcher and the
// front-end do still works.
TEST_F(Confinement, EachLoginReachesWhatItMayAndNoEscapeHolds)
{
    // Added to a running site twice over, it leaves every row as it was. The
    // till's role had the shared set-up's grants, and more.
    const std::string before = data();
    superuser("CREATE ROLE " + till + " LOGIN; GRANT SELECT, UPDATE ON config TO " + till +
              "; GRANT SELECT, INSERT, UPDATE ON managedprogram TO " + till +
              "; GRANT SELECT, DELETE ON poscommands TO " + till + "; CREATE ROLE " + shared + " LOGIN" +
              "; GRANT SELECT, UPDATE ON managedprogram, poscommands TO " + shared);
    testenv::psqlOn(database, "-f", KV_SOURCE_DIR "/packaging/confined-tills.sql", true);
    testenv::psqlOn(database, "-f", KV_SOURCE_DIR "/packaging/confined-tills.sql", true);
    EXPECT_EQ(data(), before);
    superuser("SELECT korvantis_add_till('" + till + "', 'pw', 7), korvantis_add_frontend('" + frontEnd +
              "', 'pw', '{9}'); INSERT INTO korvantis_till VALUES ('kvtill8', 8)");
    EXPECT_EQ(data(), before);

    kv::StationStatus::Row status;
    status.station = QStringLiteral("7");
    status.host = QStringLiteral("till'7");
    status.version = QStringLiteral("1");
    status.programsJson = QStringLiteral("[]");
    status.stopped = QStringLiteral("exit");
    const std::string upsert = kv::StationStatus::upsertStatement(status).toStdString();
    const std::string seq = "pg_get_serial_sequence('poscommands', 'id')";
    // An escape the admin makes, then what the check says of the role.
    const auto changed = [](const std::string &change) {
        return "SELECT korvantis_add_till('kvesc', 'pw', 9); " + change +
               "; SELECT why FROM korvantis_check() WHERE login = 'kvesc'";
    };
    const std::vector<Attempt> attempts = {
        // The till's own work, as the launcher does it.
        {As::Till, "writes its status row", upsert, "=1"},
        {As::Till, "writes it again", upsert, "=1"},
        {As::Till, "marks its receipt with the print job",
         "UPDATE poscommands SET printjob = '57/Korvantis POS #3 1a2b-4' WHERE stationid = 7", "=1"},
        {As::Till, "opens its own drawer", "INSERT INTO poscommands (stationid, device) VALUES (7, 2)", "=1"},
        {As::Till, "takes its printed rows off the queue", "DELETE FROM poscommands WHERE stationid = 7", "=2"},
        // The till, at other stations.
        {As::Till, "reads station 8's programs", "SELECT * FROM managedprogram WHERE machineid = 8", ""},
        {As::Till, "reprograms station 8", "UPDATE managedprogram SET executable = 'evil' WHERE machineid = 8", ""},
        {As::Till, "adds a program to station 8", "INSERT INTO managedprogram (machineid) VALUES (8)", ""},
        {As::Till, "moves its program to station 8", "UPDATE managedprogram SET machineid = 8 WHERE machineid = 7", ""},
        {As::Till, "deletes station 8's programs", "DELETE FROM managedprogram WHERE machineid = 8", ""},
        {As::Till, "edits a template", "UPDATE managedprogram SET executable = 'evil' WHERE machineid IS NULL", ""},
        {As::Till, "adds a template", "INSERT INTO managedprogram (executable) VALUES ('evil')", ""},
        {As::Till, "reads station 8's receipts", "SELECT * FROM poscommands WHERE stationid = 8", ""},
        {As::Till, "deletes station 8's receipts", "DELETE FROM poscommands WHERE stationid = 8", ""},
        {As::Till, "opens station 8's drawer", "INSERT INTO poscommands (stationid, device) VALUES (8, 2)", ""},
        {As::Till, "marks station 8's receipt", "UPDATE poscommands SET printjob = 'x' WHERE stationid = 8", ""},
        {As::Till, "rewrites its own receipt", "UPDATE poscommands SET command = 'evil' WHERE stationid = 7", ""},
        {As::Till, "queues a device nobody reads", "INSERT INTO poscommands (stationid, device) VALUES (7, 3)", ""},
        {As::Till, "uses up the ids", "SELECT nextval(" + seq + ")", ""},
        {As::Till, "tries the next 1,000 ids",
         "DO $$ DECLARE refused int := 0; BEGIN FOR i IN 1..1000 LOOP BEGIN "
         "INSERT INTO poscommands (id, stationid, device, command) OVERRIDING SYSTEM VALUE VALUES (i, 7, 1, 'x'); "
         "EXCEPTION WHEN others THEN refused := refused + 1; END; END LOOP; "
         "RAISE EXCEPTION 'refused % of 1000', refused; END $$",
         "refused 1000 of 1000"},
        {As::Till, "reads the other tills' map", "SELECT * FROM korvantis_till WHERE role <> current_user", ""},
        {As::Till, "writes station 8's status", "UPDATE launcherstatus SET heartbeat = now() WHERE stationid = 8", ""},
        {As::Till, "writes a status row for station 9", "INSERT INTO launcherstatus VALUES (9, 'x', '0')", ""},
        {As::Till, "becomes its group", "SET ROLE korvantis_tills; UPDATE managedprogram SET executable = 'evil'", ""},
        // Last of the till's: a map of its own in the place of the real one.
        {As::Till, "reprograms station 8 through a map of its own",
         "CREATE TEMP TABLE korvantis_till AS SELECT current_user AS role, 8 AS station; "
         "UPDATE managedprogram SET executable = 'evil' WHERE machineid = 8", ""},
        // The front-end: receipts anywhere, the drawer it was given, nothing else.
        {As::FrontEnd, "queues 1,000 receipts for station 8, after the till's 1,000",
         "INSERT INTO poscommands (stationid, device) SELECT 8, 1 FROM generate_series(1, 1000)", "=1000"},
        {As::FrontEnd, "opens station 9's drawer", "INSERT INTO poscommands (stationid, device) VALUES (9, 2)", "=1"},
        {As::FrontEnd, "opens station 8's drawer", "INSERT INTO poscommands (stationid, device) VALUES (8, 2)", ""},
        {As::FrontEnd, "queues a device nobody reads", "INSERT INTO poscommands (stationid, device) VALUES (8, 3)", ""},
        {As::FrontEnd, "reads receipts", "SELECT * FROM poscommands", ""},
        {As::FrontEnd, "marks a receipt", "UPDATE poscommands SET printjob = 'x'", ""},
        // A role of the shared set-up still sees and edits every station.
        {As::Admin, "lets the shared role in", "SET ROLE " + shared + "; UPDATE managedprogram SET path = path", "=3"},
        // Roles that could leave their confinement are never confined.
        {As::Admin, "confines a role with the attributes",
         "CREATE ROLE kvesc LOGIN SUPERUSER BYPASSRLS CREATEROLE CREATEDB REPLICATION; "
         "SELECT korvantis_add_frontend('kvesc', 'pw')",
         "ALTER ROLE kvesc NOSUPERUSER NOBYPASSRLS NOCREATEROLE NOCREATEDB NOREPLICATION"},
        {As::Admin, "confines a NOINHERIT member of the owner",
         "CREATE ROLE kvesc LOGIN NOINHERIT IN ROLE kvtest; SELECT korvantis_add_till('kvesc', 'pw', 9)",
         "REVOKE kvtest FROM kvesc"},
        {As::Admin, "confines a member of a group with the shared grants",
         "CREATE ROLE kvescg; GRANT SELECT ON poscommands TO kvescg; CREATE ROLE kvesc LOGIN IN ROLE kvescg; "
         "SELECT korvantis_add_frontend('kvesc', 'pw')",
         "REVOKE kvescg FROM kvesc"},
        {As::Admin, "confines a member of a superuser through a group",
         "CREATE ROLE kvescs SUPERUSER; CREATE ROLE kvescg IN ROLE kvescs; CREATE ROLE kvesc LOGIN IN ROLE kvescg; "
         "SELECT korvantis_add_till('kvesc', 'pw', 9)",
         "it can act as kvescg, kvescs"},
        {As::Admin, "confines a till whose group was given more",
         "GRANT kvtest TO korvantis_tills; SELECT korvantis_add_till('kvesc', 'pw', 9)",
         "REVOKE kvtest FROM korvantis_tills"},
        {As::Admin, "makes the tills' group a till", "SELECT korvantis_add_till('korvantis_tills', 'pw', 9)",
         "korvantis_tills is the group"},
        {As::Admin, "confines the owner", "SELECT korvantis_add_till('kvtest', 'pw', 9)", "it owns managedprogram"},
        // Changed after its confinement: the check names the role and why. As
        // made, neither the till nor the front-end has a right the check
        // knows of (writes to config or the maps, TRUNCATE, REFERENCES, ids).
        {As::Admin, "gives a till more",
         changed("ALTER ROLE kvesc REPLICATION; GRANT TRUNCATE ON poscommands TO PUBLIC; GRANT INSERT (id) ON "
                 "poscommands TO kvesc; GRANT UPDATE ON config TO kvesc; GRANT USAGE ON poscommands_id_seq TO kvesc"),
         "NOREPLICATION|TRUNCATE on poscommands (granted to PUBLIC)|may choose|may take or set|UPDATE on config"},
        {As::Admin, "makes a till a NOINHERIT member of the owner",
         changed("ALTER ROLE kvesc NOINHERIT; GRANT kvtest TO kvesc"), "it can act as kvtest"},
        {As::Admin, "looks for the shared role", "SELECT why FROM korvantis_check() WHERE login = '" + shared + "'",
         "not confined: SELECT, UPDATE on managedprogram"},
        {As::Admin, "looks for the till and the front-end as made",
         "SELECT 'listed: ' || count(*) FROM korvantis_check() WHERE login IN ('" + till + "', '" + frontEnd + "')",
         "listed: 0"},
    };

    const std::string host = testenv::database().host.toStdString(), port = std::to_string(testenv::database().port);
    const auto login = [&](const std::string &user) {
        return testenv::Session(PQsetdbLogin(host.c_str(), port.c_str(), nullptr, nullptr, database.c_str(),
                                             user.c_str(), "pw"),
                                &PQfinish);
    };
    const testenv::Session tillSession = login(till), frontEndSession = login(frontEnd),
                           admin = testenv::connect("kvconfinement", database, true);
    for (const testenv::Session *s : {&tillSession, &frontEndSession, &admin})
        ASSERT_EQ(PQstatus(s->get()), CONNECTION_OK) << PQerrorMessage(s->get());
    for (const Attempt &a : attempts) {
        SCOPED_TRACE(a.what);
        PGconn *session = (a.as == As::Till ? tillSession : a.as == As::FrontEnd ? frontEndSession : admin).get();
        const std::string rowsBefore = data();
        std::string answer;
        const int n = touched(session, a.as == As::Admin ? "BEGIN; " + a.sql : a.sql, &answer);
        touched(session, a.as == As::Admin ? "ROLLBACK" : "RESET ROLE");
        if (a.expect.empty()) {
            EXPECT_LE(n, 0) << a.sql;
            EXPECT_EQ(data(), rowsBefore) << a.sql;
        } else if (a.expect[0] == '=') {
            EXPECT_EQ(n, std::stoi(a.expect.substr(1))) << a.sql << "\n" << answer;
        } else {
            for (std::size_t from = 0, to = 0; to != std::string::npos; from = to + 1) {
                to = a.expect.find('|', from);
                EXPECT_NE(answer.find(a.expect.substr(from, to - from)), std::string::npos) << a.sql << "\n" << answer;
            }
        }
    }
}

} // namespace
