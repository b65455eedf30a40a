// The start-up checks and the station set-up against the real cluster,
// through psqlODBC, with the messages the person at the till sees.
#include "config/vbDatabase.h"
#include "config/vbConfig.h"
#include "dbtestutil.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>

#include <sys/stat.h>

using kv::MsgButtons;
using kv::MsgIcon;
using kv::MsgResult;
using kv::Outcome;
using kv::database::checkSchemaVersion;
using kv::database::escapeSqlText;
using kv::database::setupStation;
using testsupport::ScriptedPrompter;

namespace {

const QString kTooOld = QStringLiteral("Database version too old, please upgrade to the newest version or connect "
                                       "to a different database.");
const QString kNoRights = QStringLiteral("You do not have sufficient rights to set up on this workstation. Please "
                                         "restart as Administrator.");
const QByteArray kConf = "db_host = 127.0.0.1\r\ndb_name = kvtest\r\n";

// Every row of managedprogram in a fixed order, for before/after comparisons.
std::string programRows()
{
    return testenv::psql("SELECT id, name, path, executable, arguments, runonstart, restartonfailure, machineid "
                         "FROM managedprogram ORDER BY id");
}

void insertTemplates()
{
    testenv::psql("INSERT INTO managedprogram (name, path, executable, arguments, runonstart, restartonfailure, "
                  "machineid) VALUES "
                  "('Card reader', 'C:\\old\\', 'cardrd.exe', '-q', true, false, NULL), "
                  "('Notes', NULL, 'blipnote.exe', NULL, false, true, NULL), "
                  "('Front', '', 'run.bat', '', NULL, NULL, NULL)");
}

// The copies a station received: what was copied, then path and machineid.
std::string copiesOf(int station)
{
    return testenv::psql("SELECT name, executable, arguments, runonstart, restartonfailure, path, machineid "
                         "FROM managedprogram WHERE machineid = " +
                         std::to_string(station) + " ORDER BY name");
}

std::string templatesAsCopies(const QString &path, int station)
{
    return testenv::psql("SELECT name, executable, arguments, runonstart, restartonfailure, '" +
                         path.toStdString() + "', " + std::to_string(station) +
                         " FROM managedprogram WHERE machineid IS NULL ORDER BY name");
}

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testenv::psql("DELETE FROM managedprogram; DELETE FROM config");
        m_baseline = dbtest::otherSessions();
        m_settings = dbtest::clusterSettings();
        m_ctx.appDir = m_dir.path();
        m_ctx.launcherName = QStringLiteral("korvantis-launcher");
        m_dir.write(QStringLiteral("shell.conf"), kConf);
    }
    void TearDown() override
    {
        EXPECT_EQ(dbtest::sessionsSettledAt(m_baseline), m_baseline) << "a connection was left open";
    }
    QString confPath() const { return m_dir.file(QStringLiteral("shell.conf")); }

    int m_baseline = 0;
    kv::LauncherSettings m_settings;
    testsupport::TempAppDir m_dir;
    kv::AppContext m_ctx;
};

// ------------------------------------------------------------ text helpers

TEST(ConnectionText, NamesTheDriverAndInsertsTheValuesAsTheyAre)
{
    EXPECT_EQ(kv::database::buildConnectionText("db.local", "kv", "till;1", "p=w;x"),
              "DRIVER={PostgreSQL Unicode};SERVER=db.local;DATABASE=kv;UID=till;1;PWD=p=w;x");
    kv::LauncherSettings s;
    s.db_host = "h";
    s.db_name = "d";
    s.db_username = "u";
    s.db_password = "";
    s.stationid = "4";
    EXPECT_EQ(kv::database::buildConnectionText(s), "DRIVER={PostgreSQL Unicode};SERVER=h;DATABASE=d;UID=u;PWD=");
}

TEST_F(DatabaseTest, EscapedTextComesBackUnchangedFromAnEscapeStringLiteral)
{
    EXPECT_EQ(escapeSqlText(""), "");
    EXPECT_EQ(escapeSqlText("a\\'b"), "a\\\\''b");
    kv::odbc::Connection c;
    c.open(kv::database::buildConnectionText(m_settings));
    for (const QString &s : {QStringLiteral("C:\\Program Files\\Kv\\"), QStringLiteral("it's"),
                             QStringLiteral("\\'"), QStringLiteral("\\n stays two characters"),
                             QStringLiteral("''\\\\''"), QString::fromUtf8("Zürich €")}) {
        kv::odbc::Recordset rs;
        rs.open(QStringLiteral("SELECT e'") + escapeSqlText(s) + QStringLiteral("' AS v"), c);
        EXPECT_EQ(rs.field("v").toString(), s);
    }
}

// ------------------------------------------------------------ schema check

TEST_F(DatabaseTest, NoSchemaVersionReadsAsOneAndIsRefusedEvenWithoutErrors)
{
    for (bool showErrors : {false, true}) {
        testenv::psql("DELETE FROM config");
        {
            ScriptedPrompter p;
            p.expectMessage(kTooOld, MsgButtons::OK, MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                            MsgIcon::Exclamation, true);
            EXPECT_EQ(checkSchemaVersion(m_settings, showErrors, p), 1) << "empty config table";
        }
        testenv::psql("INSERT INTO config (schemaversion, te_username) VALUES (NULL, 'a'), (NULL, 'b')");
        ScriptedPrompter p;
        p.expectMessage(kTooOld, MsgButtons::OK, MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                        MsgIcon::Exclamation, true);
        EXPECT_EQ(checkSchemaVersion(m_settings, showErrors, p), 1) << "only NULL versions";
    }
}

TEST_F(DatabaseTest, TheHighestVersionCountsAndNinetyPasses)
{
    testenv::psql("INSERT INTO config (schemaversion) VALUES (89), (NULL)");
    {
        ScriptedPrompter p;
        p.expectMessage(kTooOld, MsgButtons::OK, MsgResult::OK);
        EXPECT_EQ(checkSchemaVersion(m_settings, false, p), 1);
    }
    testenv::psql("INSERT INTO config (schemaversion) VALUES (90)");
    ScriptedPrompter quiet;
    EXPECT_EQ(checkSchemaVersion(m_settings, true, quiet), 0);
    testenv::psql("UPDATE config SET schemaversion = 250 WHERE schemaversion = 89");
    EXPECT_EQ(checkSchemaVersion(m_settings, true, quiet), 0);
    EXPECT_TRUE(quiet.shownMessages().isEmpty());
}

TEST_F(DatabaseTest, ConnectionErrorsReturnTheirNumberAndAreShownOnlyWhenAsked)
{
    kv::LauncherSettings wrong = m_settings;
    wrong.db_password = QStringLiteral("wrong");
    {
        ScriptedPrompter silent;
        const qint32 rc = checkSchemaVersion(wrong, false, silent);
        EXPECT_EQ(rc, kv::odbc::kAuthenticationError);
    }
    // The text shown is the driver's description of the same failure.
    QString expected;
    try {
        kv::odbc::Connection c;
        c.open(kv::database::buildConnectionText(wrong));
    } catch (const kv::odbc::Error &e) {
        expected = e.description();
    }
    ASSERT_TRUE(expected.contains("password authentication failed")) << expected.toStdString();
    ScriptedPrompter p;
    p.expectMessage(expected, MsgButtons::OK, MsgResult::OK, QStringLiteral("Error connecting to database"),
                    MsgIcon::Exclamation, true);
    EXPECT_EQ(checkSchemaVersion(wrong, true, p), kv::odbc::kAuthenticationError);
}

// A config table that lacks schemaversion is an error, never "too old".
TEST_F(DatabaseTest, MissingConfigTableIsAnErrorNumberNotOne)
{
    testenv::psql("ALTER TABLE config RENAME TO config_kept");
    struct Restore {
        ~Restore() { testenv::psql("ALTER TABLE config_kept RENAME TO config"); }
    } restore;
    ScriptedPrompter silent;
    const qint32 rc = checkSchemaVersion(m_settings, false, silent);
    EXPECT_EQ(rc, kv::odbc::kProviderError);
}

// ------------------------------------------------------------ station set-up

// The new id must stand on a line of its own whatever the file's last line
// ends with, or the next start reads no id and makes another station.
TEST_F(DatabaseTest, NewStationOnAnEmptyTableGetsOneOnALineOfItsOwn)
{
    const struct {
        QByteArray before, after;
    } cases[] = {
        {kConf, kConf + "stationid = 1\r\n"},
        {"db_name = kvtest", "db_name = kvtest\r\nstationid = 1\r\n"},
        {"db_name = kvtest\n", "db_name = kvtest\nstationid = 1\r\n"},
        {"db_name = kvtest\r", "db_name = kvtest\rstationid = 1\r\n"},
        {"", "stationid = 1\r\n"},
    };
    const QByteArray path = confPath().toLocal8Bit();
    for (const auto &c : cases) {
        m_dir.write(QStringLiteral("shell.conf"), c.before);
        ASSERT_EQ(::chmod(path.constData(), 0644), 0);
        m_settings.stationid.clear();
        ScriptedPrompter p;
        EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
        EXPECT_EQ(m_settings.stationid, "1");
        EXPECT_EQ(m_dir.read("shell.conf"), c.after);
        struct stat st{};
        EXPECT_TRUE(::stat(path.constData(), &st) == 0 && (st.st_mode & 0777) == 0600) << "it holds the password";
        EXPECT_EQ(kv::config::readShellConfig(confPath(), m_ctx).stationid, "1") << c.before.constData();
    }
    EXPECT_EQ(programRows(), "") << "no templates, nothing copied";
}

TEST_F(DatabaseTest, NewStationAmongTemplatesOnlyGetsOneAndACopyOfEach)
{
    insertTemplates();
    ScriptedPrompter p;
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    EXPECT_EQ(m_settings.stationid, "1");
    EXPECT_EQ(m_dir.read("shell.conf"), kConf + "stationid = 1\r\n");
    const std::string copies = copiesOf(1);
    EXPECT_EQ(copies, templatesAsCopies(m_ctx.appPath(), 1));
    EXPECT_EQ(std::count(copies.begin(), copies.end(), '\n'), 3);
    EXPECT_TRUE(QString::fromStdString(copies).contains(m_ctx.appPath())) << "path is the application directory";
}

TEST_F(DatabaseTest, NewStationTakesOneMoreThanTheHighestStation)
{
    insertTemplates();
    testenv::psql("INSERT INTO managedprogram (name, machineid) VALUES ('x', 7), ('y', 12), ('z', 3)");
    ScriptedPrompter p;
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    EXPECT_EQ(m_settings.stationid, "13");
    EXPECT_EQ(m_dir.read("shell.conf"), kConf + "stationid = 13\r\n");
    EXPECT_EQ(copiesOf(13), templatesAsCopies(m_ctx.appPath(), 13));
}

TEST_F(DatabaseTest, KnownStationWithoutProgramsReceivesTheTemplatesOnEveryStart)
{
    insertTemplates();
    m_settings.stationid = "5";
    ScriptedPrompter p;
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    EXPECT_EQ(m_settings.stationid, "5");
    EXPECT_EQ(m_dir.read("shell.conf"), kConf) << "a known id is not written again";
    EXPECT_EQ(copiesOf(5), templatesAsCopies(m_ctx.appPath(), 5));

    // The user deleted them all: the next start gives them again.
    testenv::psql("DELETE FROM managedprogram WHERE machineid = 5");
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    EXPECT_EQ(copiesOf(5), templatesAsCopies(m_ctx.appPath(), 5));
}

TEST_F(DatabaseTest, KnownStationWithProgramsChangesNothing)
{
    insertTemplates();
    testenv::psql("INSERT INTO managedprogram (name, path, machineid) VALUES ('own', '/opt/own/', 5)");
    m_settings.stationid = "5";
    const kv::LauncherSettings before = m_settings;
    const std::string rows = programRows();
    ScriptedPrompter p;
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    EXPECT_EQ(programRows(), rows);
    EXPECT_EQ(m_dir.read("shell.conf"), kConf);
    EXPECT_EQ(m_settings, before);
}

TEST_F(DatabaseTest, ApplicationDirectoryWithQuoteAndBackslashIsStoredExactly)
{
    insertTemplates();
    const QString odd = m_dir.path() + QStringLiteral("/it's a \\dir");
    ASSERT_TRUE(QDir().mkpath(odd));
    m_ctx.appDir = odd;
    m_settings.stationid = "2";
    ScriptedPrompter p;
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    const std::string paths = testenv::psql("SELECT DISTINCT path FROM managedprogram WHERE machineid = 2");
    EXPECT_EQ(paths, (odd + QStringLiteral("/\n")).toStdString());
}

// The id goes into SQL as it is: only a whole number may reach the server.
TEST_F(DatabaseTest, StationIdThatIsNotAWholeNumberEndsTheLauncherTouchingNothing)
{
    insertTemplates();
    testenv::psql("INSERT INTO managedprogram (name, path, machineid) VALUES ('own', '/opt/own/', 7)");
    const std::string rows = programRows();
    for (const QString id : {"7 OR 1=1", "7' OR '1'='1", "0' OR machineid IS NULL OR '1'='1",
                             "1 FROM managedprogram; DELETE FROM managedprogram; --", "abc", "7.0", "+", "--7"}) {
        m_settings.stationid = id;
        ScriptedPrompter p;
        p.expectMessage(kNoRights, MsgButtons::OK, MsgResult::OK, std::nullopt, MsgIcon::Information, true);
        EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::LauncherEnds) << id.toStdString();
        ASSERT_EQ(p.shownMessages().size(), 1);
        const QString title = p.shownMessages().front().title;
        EXPECT_TRUE(title.startsWith("Korvantis Launcher - ") && title.contains(id)) << title.toStdString();
        EXPECT_EQ(programRows(), rows) << id.toStdString();
        EXPECT_EQ(m_settings.stationid, id);
        EXPECT_EQ(m_dir.read("shell.conf"), kConf);
    }
}

// As root no permission stops a write: a directory where the file should be does.
TEST_F(DatabaseTest, NewStationWhoseFileCannotBeWrittenEndsTheLauncherAndKeepsNoId)
{
    insertTemplates();
    const QString blocked = m_dir.file(QStringLiteral("blocked.conf"));
    ASSERT_TRUE(QDir().mkpath(blocked));
    const std::string rows = programRows();
    ScriptedPrompter p;
    p.expectMessage(kNoRights, MsgButtons::OK, MsgResult::OK, std::nullopt, MsgIcon::Information, true);
    EXPECT_EQ(setupStation(m_settings, blocked, m_ctx, p), Outcome::LauncherEnds);
    ASSERT_EQ(p.shownMessages().size(), 1);
    const QString title = p.shownMessages().front().title;
    EXPECT_TRUE(title.startsWith("Korvantis Launcher - ")) << title.toStdString();
    EXPECT_GT(title.size(), QStringLiteral("Korvantis Launcher - ").size()) << "the reason follows the dash";
    EXPECT_EQ(m_settings.stationid, "");
    EXPECT_EQ(programRows(), rows) << "no copies for an id that was not kept";
}

TEST_F(DatabaseTest, SetUpWithoutADatabaseEndsTheLauncher)
{
    m_settings.db_password = QStringLiteral("wrong");
    ScriptedPrompter p;
    p.expectMessage(kNoRights, MsgButtons::OK, MsgResult::OK, std::nullopt, MsgIcon::Information, true);
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::LauncherEnds);
    ASSERT_EQ(p.shownMessages().size(), 1);
    EXPECT_TRUE(p.shownMessages().front().title.contains("password authentication failed"));
    EXPECT_EQ(m_dir.read("shell.conf"), kConf);
    EXPECT_EQ(m_settings.stationid, "");
}

} // namespace
