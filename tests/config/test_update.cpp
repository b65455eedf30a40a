// The update procedure with a real kvtupd.sh that records how it was started,
// and the request from the tray menu.
#include "config/odbc.h"
#include "config/vbUpdate.h"

#include "dbtestutil.h"
#include "recordingsinks.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <csignal>
#include <thread>

#include <unistd.h>

using kv::MsgButtons;
using kv::MsgIcon;
using kv::MsgResult;
using kv::Outcome;
using testsupport::RecordingKiller;
using testsupport::ScriptedPrompter;

namespace {

const QString kTitle = QStringLiteral("Korvantis Launcher");
const QString kNoScript = QStringLiteral("No update script found. Starting normally.");

// Writes its pid and then its arguments, one a line, beside itself, and waits
// until told to stop (a minute at most). Without its run bit: sh runs it.
const QByteArray kScript = "d=$(dirname \"$0\")\n"
                           "exec >/dev/null 2>&1\n"
                           "echo $$ > \"$d/pid\"\n"
                           "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$d/args.tmp\"\n"
                           "mv \"$d/args.tmp\" \"$d/args\"\n"
                           "i=0; while [ ! -e \"$d/stop\" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done\n";

// Waits for a file the script writes.
bool appears(const QString &path)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!QFileInfo::exists(path) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return QFileInfo::exists(path);
}

// State and parent of a process, from /proc/PID/stat after the command name.
QStringList stateAndParent(int pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    const QString all = f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    return all.mid(all.lastIndexOf(')') + 2).split(' ').mid(0, 2);
}

class UpdateTest : public ::testing::Test {
protected:
    UpdateTest() { m_ctx.appDir = m_dir.path(); }
    void SetUp() override { testenv::psql("DELETE FROM config"); }
    void TearDown() override { testenv::psql("DELETE FROM config"); }

    kv::Updater updater() { return kv::Updater(m_ctx, m_settings, m_prompter, m_killer, m_events); }

    testsupport::TempAppDir m_dir;
    kv::AppContext m_ctx;
    kv::LauncherSettings m_settings = dbtest::clusterSettings();
    ScriptedPrompter m_prompter;
    RecordingKiller m_killer;
    testsupport::RecordingEventLog m_events;
};

TEST_F(UpdateTest, WithoutAMarkerNothingHappensAndWithoutAScriptStartUpGoesOn)
{
    // Any database access would fail on these settings and throw.
    m_settings.db_host = QStringLiteral("nowhere.invalid");
    EXPECT_EQ(updater().runUpdate(), Outcome::Continue);

    m_dir.write("doupdate", "");
    m_prompter.expectMessage(kNoScript, MsgButtons::OK, MsgResult::OK, kTitle, MsgIcon::Information, true);
    EXPECT_EQ(updater().runUpdate(), Outcome::Continue);
    EXPECT_FALSE(QFileInfo::exists(m_dir.file("doupdate")));
    EXPECT_EQ(updater().runUpdate(), Outcome::Continue) << "asked again at the next start";
    m_prompter.verifyDone();
    EXPECT_TRUE(m_killer.names.isEmpty());
}

TEST_F(UpdateTest, TheScriptGetsTheCredentialsAndOutlivesTheLauncher)
{
    struct Case {
        const char *values; // SQL for te_username, te_password
        QStringList arguments;
    };
    const Case cases[] = {
        {"'kvupd', 's3cr''t'", {"kvupd", "s3cr't"}},
        {"'kv upd', 'pa ss'", {"kv", "upd", "pa", "ss"}},
        {"NULL, 'only'", {"only"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.values);
        testsupport::TempAppDir dir;
        m_ctx.appDir = dir.path();
        testenv::psql(std::string("DELETE FROM config; INSERT INTO config (schemaversion, te_username, te_password) "
                                  "VALUES (100, ") + c.values + "), (100, 'second', 'row')");
        dir.write("doupdate", "");
        dir.write("kvtupd.sh", kScript);
        RecordingKiller killer;
        {
            kv::Updater u(m_ctx, m_settings, m_prompter, killer, m_events);
            EXPECT_EQ(u.runUpdate(), Outcome::LauncherEnds);
        }
        EXPECT_FALSE(QFileInfo::exists(dir.file("doupdate")));
        EXPECT_EQ(killer.names, QStringList({"blipnote.exe", "tallyward.exe", "dralfrontend.exe"}));
        ASSERT_TRUE(appears(dir.file("args")));
        EXPECT_EQ(QString::fromUtf8(dir.read("args")).split('\n', Qt::SkipEmptyParts), c.arguments);

        const int pid = dir.read("pid").trimmed().toInt();
        ASSERT_GT(pid, 0);
        EXPECT_EQ(::kill(pid, 0), 0) << "the script is gone with the launcher's objects";
        const QStringList stat = stateAndParent(pid);
        ASSERT_EQ(stat.size(), 2);
        EXPECT_NE(stat[0], "Z");
        EXPECT_NE(stat[1].toInt(), ::getpid()) << "the script is the launcher's child";
        EXPECT_NE(::getsid(pid), ::getsid(0)) << "the script shares the launcher's session";
        EXPECT_EQ(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/0").arg(pid)), "/dev/null");
        dir.write("stop", "");
        ::kill(pid, SIGKILL);
    }
    EXPECT_EQ(dbtest::sessionsSettledAt(0), 0) << "the connection was not given back";
}

TEST_F(UpdateTest, AnEmptyConfigTableIsTheCallersErrorWithTheMarkerGone)
{
    m_dir.write("doupdate", "");
    m_dir.write("kvtupd.sh", kScript);
    EXPECT_THROW(updater().runUpdate(), kv::odbc::Error);
    EXPECT_FALSE(QFileInfo::exists(m_dir.file("doupdate")));
    EXPECT_EQ(dbtest::sessionsSettledAt(0), 0);
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
        ScriptedPrompter prompter;
        prompter.expectMessage(blocked ? noRights : ok, MsgButtons::OK, MsgResult::OK, kTitle, MsgIcon::Information,
                               true);
        kv::Updater(m_ctx, m_settings, prompter, m_killer, m_events).requestUpdate();
        prompter.verifyDone();
        const QFileInfo marker(dir.file("doupdate"));
        EXPECT_TRUE(blocked ? marker.isDir() : marker.isFile() && marker.size() == 0);
    }
}

} // namespace
