// A site's database made from the package's SQL files, with tills confined
// to their stations: one table of attempts by each kind of login, each
// escape refused (or, made by the admin after confinement, named by the
// check), and the till's own work (the update's credentials, its status row,
// its receipts marked and deleted) succeeding. The whole launcher under such
// a login, the client library's reads and deletes included, is in
// test_launcher_e2e.
#include "launcher/stationstatus.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <libpq-fe.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string kPid = std::to_string(::getpid());

// One login's session on a database of the test cluster; the superuser's
// through the cluster's socket, where it is trusted.
class Session {
public:
    Session(const std::string &database, const std::string &user, const std::string &password,
            const std::string &socketDir = std::string())
    {
        const testenv::Db db = testenv::database();
        const std::string host = socketDir.empty() ? db.host.toStdString() : socketDir, port = std::to_string(db.port);
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
    // counts as 1); -1 when it failed. `answer` gets the error, or the first
    // column of every row returned.
    int touched(const std::string &sql, std::string *answer = nullptr)
    {
        PGresult *r = PQexec(m_conn, sql.c_str());
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

    // The first value of a query's first row; "" when there is none.
    std::string value(const std::string &sql)
    {
        std::string answer;
        return touched(sql, &answer) > 0 ? answer.substr(0, answer.find('\n')) : "";
    }

private:
    PGconn *m_conn = nullptr;
};

// Who makes an attempt: the till of station 7, the front-end (which may open
// station 9's drawer), the shared set-up's role, or the admin (as the
// superuser, each attempt in a transaction rolled back after it, so that the
// role kvesc it makes never outlives it).
enum class As { Till, FrontEnd, Shared, Admin };

struct Attempt {
    As as;
    const char *what;
    std::string sql;
    // "": refused, or touches nothing, and every row stays as it was.
    // "=N": succeeds on N rows. Other text: words of the refusal or answer.
    std::string expect;
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
              "; GRANT SELECT, DELETE ON poscommands TO " + till + "; CREATE ROLE " + shared +
              " LOGIN PASSWORD 'pw'; GRANT SELECT, UPDATE ON managedprogram, poscommands TO " + shared);
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
        {As::Till, "says it stopped", "UPDATE launcherstatus SET stopped = 'exit' WHERE stationid = 7", "=1"},
        {As::Till, "reads the update's credentials", "SELECT te_username FROM config WHERE te_password = 'secret'", "=1"},
        {As::Till, "marks its receipt with the print job",
         "UPDATE poscommands SET printjob = '57/Korvantis POS #3 1a2b-4' WHERE stationid = 7", "=1"},
        {As::Till, "opens its own drawer", "INSERT INTO poscommands (stationid, device) VALUES (7, 2)", "=1"},
        {As::Till, "takes its printed rows off the queue", "DELETE FROM poscommands WHERE stationid = 7", "=2"},
        // The till, at other stations.
        {As::Till, "reads station 8's programs", "SELECT * FROM managedprogram WHERE machineid = 8", ""},
        {As::Till, "reprograms station 8", "UPDATE managedprogram SET executable = 'evil' WHERE machineid = 8", ""},
        {As::Till, "adds a program to station 8",
         "INSERT INTO managedprogram (name, executable, machineid) VALUES ('x', 'evil', 8)", ""},
        {As::Till, "moves its own program to station 8", "UPDATE managedprogram SET machineid = 8 WHERE machineid = 7", ""},
        {As::Till, "deletes station 8's programs", "DELETE FROM managedprogram WHERE machineid = 8", ""},
        {As::Till, "edits a template", "UPDATE managedprogram SET executable = 'evil' WHERE machineid IS NULL", ""},
        {As::Till, "adds a template", "INSERT INTO managedprogram (name, executable) VALUES ('x', 'evil')", ""},
        {As::Till, "reads station 8's receipts", "SELECT * FROM poscommands WHERE stationid = 8", ""},
        {As::Till, "deletes station 8's receipts", "DELETE FROM poscommands WHERE stationid = 8", ""},
        {As::Till, "opens station 8's drawer", "INSERT INTO poscommands (stationid, device) VALUES (8, 2)", ""},
        {As::Till, "marks station 8's receipt", "UPDATE poscommands SET printjob = 'x' WHERE stationid = 8", ""},
        {As::Till, "rewrites its own receipt", "UPDATE poscommands SET command = 'evil' WHERE stationid = 7", ""},
        {As::Till, "queues a device nobody reads", "INSERT INTO poscommands (stationid, device) VALUES (7, 3)", ""},
        {As::Till, "empties the queue", "TRUNCATE poscommands", ""},
        {As::Till, "holds station 8's rows by a reference",
         "CREATE TEMP TABLE hold (id bigint REFERENCES poscommands)", ""},
        {As::Till, "queues a row with an id of its own",
         "INSERT INTO poscommands (id, stationid, device) OVERRIDING SYSTEM VALUE VALUES (4000, 7, 1)", ""},
        {As::Till, "uses up the ids", "SELECT nextval(" + seq + ")", ""},
        {As::Till, "tries the next 1,000 ids",
         "DO $$ DECLARE refused int := 0; BEGIN FOR i IN 1..1000 LOOP BEGIN "
         "INSERT INTO poscommands (id, stationid, device, command) OVERRIDING SYSTEM VALUE VALUES (i, 7, 1, 'x'); "
         "EXCEPTION WHEN others THEN refused := refused + 1; END; END LOOP; "
         "RAISE EXCEPTION 'refused % of 1000', refused; END $$",
         "refused 1000 of 1000"},
        {As::Till, "changes the update's credentials", "UPDATE config SET te_password = 'evil'", ""},
        {As::Till, "confines itself to station 8", "SELECT korvantis_add_till(current_user, NULL, 8)", ""},
        {As::Till, "maps itself to station 8", "UPDATE korvantis_till SET station = 8", ""},
        {As::Till, "reads the other tills' map", "SELECT * FROM korvantis_till WHERE role <> current_user", ""},
        {As::Till, "gives itself a drawer", "INSERT INTO korvantis_drawer VALUES (current_user, 8)", ""},
        {As::Till, "writes station 8's status", "UPDATE launcherstatus SET heartbeat = now() WHERE stationid = 8", ""},
        {As::Till, "writes a status row for station 9",
         "INSERT INTO launcherstatus (stationid, host, version) VALUES (9, 'x', '0')", ""},
        {As::Till, "turns the policies off", "ALTER TABLE poscommands DISABLE ROW LEVEL SECURITY", ""},
        {As::Till, "becomes the owner", "SET ROLE kvtest", ""},
        {As::Till, "becomes its group", "SET ROLE korvantis_tills; UPDATE managedprogram SET executable = 'evil'", ""},
        // Last of the till's: a map of its own in the place of the real one.
        {As::Till, "reprograms station 8 through a map of its own",
         "CREATE TEMP TABLE korvantis_till (role name, station integer); "
         "INSERT INTO korvantis_till VALUES (current_user, 8); "
         "UPDATE managedprogram SET executable = 'evil' WHERE machineid = 8",
         ""},
        // The front-end: receipts anywhere, the drawer it was given, nothing else.
        {As::FrontEnd, "queues 1,000 receipts for station 8 after the till's attempts",
         "INSERT INTO poscommands (stationid, device, command) SELECT 8, 1, 'Tea' FROM generate_series(1, 1000)", "=1000"},
        {As::FrontEnd, "opens station 9's drawer", "INSERT INTO poscommands (stationid, device) VALUES (9, 2)", "=1"},
        {As::FrontEnd, "opens station 8's drawer", "INSERT INTO poscommands (stationid, device) VALUES (8, 2)", ""},
        {As::FrontEnd, "queues a device nobody reads", "INSERT INTO poscommands (stationid, device) VALUES (8, 3)", ""},
        {As::FrontEnd, "queues a row with an id of its own",
         "INSERT INTO poscommands (id, stationid, device) OVERRIDING SYSTEM VALUE VALUES (5000, 8, 1)", ""},
        {As::FrontEnd, "reads receipts", "SELECT * FROM poscommands", ""},
        {As::FrontEnd, "deletes receipts", "DELETE FROM poscommands", ""},
        {As::FrontEnd, "marks a receipt", "UPDATE poscommands SET printjob = 'x'", ""},
        {As::FrontEnd, "reprograms a till", "UPDATE managedprogram SET executable = 'evil'", ""},
        {As::FrontEnd, "reads the update's credentials", "SELECT * FROM config", ""},
        {As::FrontEnd, "writes a till's status", "UPDATE launcherstatus SET heartbeat = now()", ""},
        {As::FrontEnd, "gives itself a drawer", "INSERT INTO korvantis_drawer VALUES (current_user, 8)", ""},
        // A role of the shared set-up still sees and edits every station.
        {As::Shared, "edits every station's programs", "UPDATE managedprogram SET name = name", "=3"},
        {As::Shared, "reads station 8's receipts", "SELECT * FROM poscommands WHERE stationid = 8 LIMIT 1", "=1"},
        // Roles that could leave their confinement are never confined.
        {As::Admin, "confines a superuser", "CREATE ROLE kvesc LOGIN SUPERUSER; SELECT korvantis_add_till('kvesc', 'pw', 9)",
         "NOSUPERUSER"},
        {As::Admin, "confines a role with the other attributes",
         "CREATE ROLE kvesc LOGIN BYPASSRLS CREATEROLE CREATEDB REPLICATION; SELECT korvantis_add_frontend('kvesc', 'pw')",
         "ALTER ROLE kvesc NOBYPASSRLS NOCREATEROLE NOCREATEDB NOREPLICATION"},
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
        {As::Admin, "confines a till whose group was given more", "GRANT kvtest TO korvantis_tills; "
         "SELECT korvantis_add_till('kvesc', 'pw', 9)", "REVOKE kvtest FROM korvantis_tills"},
        {As::Admin, "makes the tills' group a till", "SELECT korvantis_add_till('korvantis_tills', 'pw', 9)",
         "korvantis_tills is the group"},
        {As::Admin, "makes the front-ends' group a front-end", "SELECT korvantis_add_frontend('korvantis_frontends', 'pw')",
         "korvantis_frontends is the group"},
        {As::Admin, "confines the owner", "SELECT korvantis_add_till('kvtest', 'pw', 9)", "it owns managedprogram"},
        {As::Admin, "gives a front-end no station's drawer", "SELECT korvantis_add_frontend('kvesc', 'pw', '{0}')",
         "drawers 0 is no station id"},
        // Changed after its confinement: the check names the role and why.
        {As::Admin, "lets a till replicate", changed("ALTER ROLE kvesc REPLICATION"), "REPLICATION"},
        {As::Admin, "makes a till a NOINHERIT member of the owner",
         changed("ALTER ROLE kvesc NOINHERIT; GRANT kvtest TO kvesc"), "it can act as kvtest"},
        {As::Admin, "grants PUBLIC the emptying of the queue", changed("GRANT TRUNCATE ON poscommands TO PUBLIC"),
         "TRUNCATE on poscommands (granted to PUBLIC)"},
        {As::Admin, "lets a till choose ids", changed("GRANT INSERT (id) ON poscommands TO kvesc"),
         "choose poscommands ids"},
        {As::Admin, "lets a till take ids", changed("GRANT USAGE ON SEQUENCE poscommands_id_seq TO kvesc"),
         "take or set values"},
        {As::Admin, "lets a till change config", changed("GRANT UPDATE ON config TO kvesc"), "UPDATE on config"},
        {As::Admin, "looks for the shared role", "SELECT why FROM korvantis_check() WHERE login = '" + shared + "'",
         "not confined: SELECT, UPDATE on managedprogram"},
        {As::Admin, "looks for the till and the front-end as made",
         "SELECT 'listed: ' || count(*) FROM korvantis_check() WHERE login IN ('" + till + "', '" + frontEnd + "')",
         "listed: 0"},
    };

    Session tillSession(database, till, "pw");
    Session frontEndSession(database, frontEnd, "pw");
    Session sharedSession(database, shared, "pw");
    Session admin(database, "postgres", "", testenv::require("KV_PG_SOCKDIR"));
    for (const Attempt &a : attempts) {
        SCOPED_TRACE(a.what);
        Session &session = a.as == As::Till       ? tillSession
                           : a.as == As::FrontEnd ? frontEndSession
                           : a.as == As::Shared   ? sharedSession
                                                  : admin;
        const std::string rowsBefore = data();
        if (a.as == As::Admin)
            session.touched("BEGIN");
        std::string answer;
        const int n = session.touched(a.sql, &answer);
        if (a.as == As::Admin)
            session.touched("ROLLBACK");
        else
            session.touched("RESET ROLE");
        if (a.expect.empty()) {
            EXPECT_LE(n, 0) << a.sql;
            EXPECT_EQ(data(), rowsBefore) << a.sql;
        } else if (a.expect[0] == '=') {
            EXPECT_EQ(n, std::stoi(a.expect.substr(1))) << a.sql << "\n" << answer;
        } else {
            EXPECT_NE(answer.find(a.expect), std::string::npos) << a.sql << "\n" << answer;
        }
    }
}

} // namespace
