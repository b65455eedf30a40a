// The start-up checks and the station set-up against the real cluster,
// through psqlODBC, with the messages the person at the till sees.
#include "config/vbDatabase.h"
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

std::string programsOf(const std::string &machine)
{
    return testenv::psql("SELECT name, executable, arguments, runonstart, restartonfailure FROM managedprogram "
                         "WHERE machineid " + machine + " ORDER BY name");
}

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testenv::psql("DELETE FROM managedprogram; DELETE FROM config");
        m_baseline = dbtest::otherSessions();
        m_settings = dbtest::clusterSettings();
        // A quote and a backslash in the directory must reach the rows as they are.
        m_ctx.appDir = m_dir.path() + QStringLiteral("/it's a \\dir");
        ASSERT_TRUE(QDir().mkpath(m_ctx.appDir));
        m_ctx.launcherName = QStringLiteral("korvantis-launcher");
        m_dir.write(QStringLiteral("shell.conf"), kConf);
    }
    void TearDown() override
    {
        EXPECT_EQ(dbtest::sessionsSettledAt(m_baseline), m_baseline) << "a connection was left open";
    }
    QString confPath() const { return m_dir.file(QStringLiteral("shell.conf")); }

    // The station holds a copy of each template, its path the application directory.
    void expectCopiesFor(int station)
    {
        const std::string copies = programsOf("= " + std::to_string(station));
        EXPECT_EQ(std::count(copies.begin(), copies.end(), '\n'), 3);
        EXPECT_EQ(copies, programsOf("IS NULL"));
        EXPECT_EQ(testenv::psql("SELECT DISTINCT path FROM managedprogram WHERE machineid = " +
                                std::to_string(station)),
                  (m_ctx.appPath() + QLatin1Char('\n')).toStdString());
    }

    int m_baseline = 0;
    kv::LauncherSettings m_settings;
    testsupport::TempAppDir m_dir;
    kv::AppContext m_ctx;
};

// The highest version counts; none at all reads as 1, which is too old, and
// is said even when errors are not shown.
TEST_F(DatabaseTest, SchemaVersionBelowNinetyIsRefused)
{
    const struct {
        const char *versions;
        int result;
    } cases[] = {{"", 1}, {"(NULL), (NULL)", 1}, {"(89), (NULL)", 1}, {"(89), (NULL), (90)", 0}};
    for (const auto &c : cases) {
        testenv::psql(std::string("DELETE FROM config;") +
                      (*c.versions ? std::string("INSERT INTO config (schemaversion) VALUES ") + c.versions : ""));
        for (bool showErrors : {false, true}) {
            ScriptedPrompter p;
            if (c.result == 1)
                p.expectMessage(kTooOld, MsgButtons::OK, MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                                MsgIcon::Exclamation, true);
            EXPECT_EQ(checkSchemaVersion(m_settings, showErrors, p), c.result) << c.versions << showErrors;
        }
    }
}

// The new id must stand on a line of its own, or the next start reads no id
// and makes another station; the file holds the password.
TEST_F(DatabaseTest, NewStationOnAnEmptyTableGetsOneOnALineOfItsOwn)
{
    m_dir.write(QStringLiteral("shell.conf"), "db_name = kvtest");
    ASSERT_EQ(::chmod(confPath().toLocal8Bit().constData(), 0644), 0);
    ScriptedPrompter p;
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    EXPECT_EQ(m_settings.stationid, "1");
    EXPECT_EQ(m_dir.read("shell.conf"), "db_name = kvtest\r\nstationid = 1\r\n");
    struct stat st{};
    EXPECT_TRUE(::stat(confPath().toLocal8Bit().constData(), &st) == 0 && (st.st_mode & 0777) == 0600);
    EXPECT_EQ(programRows(), "") << "no templates, nothing copied";
}

// A known station gets the templates only while it has no programs.
TEST_F(DatabaseTest, NewStationTakesOneMoreThanTheHighestAndACopyOfEachTemplate)
{
    insertTemplates();
    testenv::psql("INSERT INTO managedprogram (name, machineid) VALUES ('x', 7), ('y', 12), ('z', 3)");
    ScriptedPrompter p;
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    EXPECT_EQ(m_settings.stationid, "13");
    EXPECT_EQ(m_dir.read("shell.conf"), kConf + "stationid = 13\r\n");
    expectCopiesFor(13);
    testenv::psql("UPDATE managedprogram SET name = 'own' WHERE machineid = 13");
    const std::string rows = programRows();
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    EXPECT_EQ(programRows(), rows) << "a station with programs gets nothing";
    m_settings.stationid = "5";
    EXPECT_EQ(setupStation(m_settings, confPath(), m_ctx, p), Outcome::Continue);
    expectCopiesFor(5);
    EXPECT_EQ(m_dir.read("shell.conf"), kConf + "stationid = 13\r\n") << "a known id is not written again";
}

// Each ends the launcher touching neither rows, file nor id. The id goes into
// SQL as it is: only a station id may reach the server, and any other is
// named to the person rather than called a matter of rights.
TEST_F(DatabaseTest, FailedSetUpEndsTheLauncherTouchingNothing)
{
    insertTemplates();
    testenv::psql("INSERT INTO managedprogram (name, path, machineid) VALUES ('own', '/opt/own/', 7)");
    const std::string rows = programRows();
    const QString blocked = m_dir.file(QStringLiteral("blocked.conf"));
    ASSERT_TRUE(QDir().mkpath(blocked));
    struct Case {
        QString id;
        bool wrongPassword = false, fileBlocked = false;
        QString inTitle = QStringLiteral("Korvantis Launcher");
    };
    const Case cases[] = {
        {"7' OR '1'='1"}, {"7.0"}, {"0"}, {"32768"},
        {"", true, false, "password authentication failed"},
        {"", false, true, "Is a directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id.toStdString() + (c.wrongPassword ? "wrong password" : "") + (c.fileBlocked ? "blocked" : ""));
        kv::LauncherSettings settings = m_settings;
        settings.stationid = c.id;
        if (c.wrongPassword)
            settings.db_password = QStringLiteral("wrong");
        ScriptedPrompter p;
        if (!c.id.isEmpty()) {
            p.expectMessage(QStringLiteral("The station id \"%1\" in %2 is not valid: a station id is a whole "
                                           "number from 1 to 32767, written in digits only. Please correct the "
                                           "stationid line of that file and start Korvantis Launcher again.")
                                .arg(c.id, confPath()),
                            MsgButtons::OK, MsgResult::OK, QStringLiteral("Korvantis Launcher"), MsgIcon::Critical,
                            true);
        } else {
            p.expectMessage(kNoRights, MsgButtons::OK, MsgResult::OK, std::nullopt, MsgIcon::Information, true);
        }
        EXPECT_EQ(setupStation(settings, c.fileBlocked ? blocked : confPath(), m_ctx, p), Outcome::LauncherEnds);
        p.verifyDone();
        EXPECT_TRUE(p.shownMessages().front().title.contains(c.inTitle)) << "the error named in the title";
        EXPECT_EQ(programRows(), rows);
        EXPECT_EQ(settings.stationid, c.id);
        EXPECT_EQ(m_dir.read("shell.conf"), kConf);
    }
}

} // namespace
