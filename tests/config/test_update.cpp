// The update procedure with a real kvtupd.sh that records how it was started,
// and the request from the tray menu.
#include "config/vbUpdate.h"
#include "dbtestutil.h"
#include "recordingsinks.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>

#include <unistd.h>

using kv::MsgButtons;
using kv::MsgIcon;
using kv::MsgResult;
using kv::Outcome;

namespace {

// Writes its arguments, one a line, and then its pid beside itself, and waits
// to be killed. Without its run bit: sh runs it.
const QByteArray kScript = "d=$(dirname \"$0\")\nexec >/dev/null 2>&1\n"
                           "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$d/args\"\n"
                           "echo $$ > \"$d/pid.tmp\"; mv \"$d/pid.tmp\" \"$d/pid\"\nexec sleep 60\n";

class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override { testenv::psql("DELETE FROM config"); }
    void TearDown() override { testenv::psql("DELETE FROM config"); }
    kv::Updater updater(testsupport::ScriptedPrompter &p) { return kv::Updater(m_ctx, m_settings, p, m_killer, m_events); }

    testsupport::TempAppDir m_dir;
    kv::AppContext m_ctx{m_dir.path(), QStringLiteral("korvantis-launcher")};
    kv::LauncherSettings m_settings = dbtest::clusterSettings();
    testsupport::RecordingKiller m_killer;
    testsupport::RecordingEventLog m_events;
};

// The script replaces the programs' files: they are ended first, and the
// script must outlive the launcher, in a session of its own.
TEST_F(UpdateTest, TheScriptGetsTheCredentialsAndOutlivesTheLauncher)
{
    testenv::psql("INSERT INTO config (schemaversion, te_username, te_password) "
                  "VALUES (100, 'kv upd', 's3cr''t'), (100, 'second', 'row')");
    m_dir.write("doupdate", "");
    m_dir.write("kvtupd.sh", kScript);
    testsupport::ScriptedPrompter p;
    EXPECT_EQ(updater(p).runUpdate(), Outcome::LauncherEnds);
    EXPECT_FALSE(QFileInfo::exists(m_dir.file("doupdate")));
    EXPECT_EQ(m_killer.names, QStringList({"blipnote.exe", "tallyward.exe", "dralfrontend.exe"}));
    for (int i = 0; i < 1000 && !QFileInfo::exists(m_dir.file("pid")); ++i)
        ::usleep(10'000);
    const int pid = m_dir.read("pid").trimmed().toInt();
    ASSERT_GT(pid, 0) << "the script did not run";
    EXPECT_EQ(QString::fromUtf8(m_dir.read("args")).split('\n', Qt::SkipEmptyParts),
              QStringList({"kv", "upd", "s3cr't"}));
    EXPECT_EQ(::kill(pid, 0), 0) << "the script is gone with the launcher's objects";
    EXPECT_NE(::getsid(pid), ::getsid(0)) << "the script shares the launcher's session";
    EXPECT_EQ(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/0").arg(pid)), "/dev/null");
    ::kill(pid, SIGKILL);
    EXPECT_EQ(dbtest::sessionsSettledAt(0), 0) << "the connection was not given back";
}

// An old marker is emptied; a directory in its place means missing rights.
TEST_F(UpdateTest, RequestLeavesOneEmptyMarkerOrTellsOfMissingRights)
{
    const QString ok = QStringLiteral("Korvantis needs to be closed for the update to begin.");
    const QString noRights = QStringLiteral("You do not have sufficient rights to do an update. Please restart as "
                                            "Administrator.");
    for (const char *before : {"nothing", "marker", "directory"}) {
        SCOPED_TRACE(before);
        const bool blocked = before == std::string("directory");
        testsupport::TempAppDir dir;
        m_ctx.appDir = dir.path();
        if (blocked)
            ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("doupdate")));
        else if (before == std::string("marker"))
            dir.write("doupdate", "old\r\n");
        testsupport::ScriptedPrompter p;
        p.expectMessage(blocked ? noRights : ok, MsgButtons::OK, MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                        MsgIcon::Information, true);
        updater(p).requestUpdate();
        p.verifyDone();
        const QFileInfo marker(dir.file("doupdate"));
        EXPECT_TRUE(blocked ? marker.isDir() : marker.isFile() && marker.size() == 0);
    }
}

} // namespace
