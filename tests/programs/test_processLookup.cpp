// Finding another copy of the launcher and ending processes: real processes
// (copies of this test program stand in for launcher copies) and a fake table.
#include "programs/clsProcess.h"
#include "programs/vbKill.h"
#include "programs/vbOtherInstance.h"
#include "platform/fakes/process_fake.h"

#include "childhelpers.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QFile>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using kv::clsProcess;
using Fake = kv::platform::FakeProcessTable;

namespace {

constexpr char kHoldFlag[] = "--kv-hold-for-lookup";

// Started with kHoldFlag, this program is only a second running copy of
// itself: it says so and waits to be killed (a minute at most).
const bool kHeld = [] {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cmdline.find(std::string(1, '\0') + kHoldFlag + '\0') == std::string::npos)
        return false;
    if (::write(1, "held\n", 5) < 0)
        ::_exit(2);
    ::sleep(60);
    ::_exit(0);
}();

QString quoted(const QString &path) { return QLatin1Char('"') + path + QLatin1Char('"'); }
QString ownExecutable() { return QFile::symLinkTarget(QStringLiteral("/proc/self/exe")); }

struct KillOnExit {
    void operator()(clsProcess *p) const
    {
        p->killProcess();
        delete p;
    }
};
using Runner = std::unique_ptr<clsProcess, KillOnExit>;

// Polls the runner until it has said `word` or, without one, ended.
bool pollFor(clsProcess &p, const QString &word = {})
{
    const auto done = [&] { return word.isEmpty() ? !p.pReady : p.outText.contains(word); };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (p.pReady && !done() && std::chrono::steady_clock::now() < deadline) {
        if (p.getOutput().isEmpty())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

Runner start(const QString &commandLine, const QString &word = QStringLiteral("held"))
{
    static testsupport::ScriptedPrompter prompter;
    Runner p(new clsProcess(prompter));
    p->Init(commandLine, QStringLiteral("/tmp"), true, true, true);
    EXPECT_TRUE(pollFor(*p, word)) << commandLine.toStdString();
    return p;
}

TEST(findOtherInstance, FindsACopyOfTheSameFileNeverItselfAndAcrossAnUpdate)
{
    ASSERT_FALSE(kHeld);
    auto &table = kv::platform::systemProcessTable();
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), -1);
    auto first = start(quoted(ownExecutable()) + " " + kHoldFlag);
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), first->processId());
    first->killProcess();
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), -1);

    // A copy elsewhere is another program; a link is the same file.
    testsupport::TempAppDir dir;
    ASSERT_TRUE(QFile::copy(ownExecutable(), dir.file("copy")));
    ASSERT_TRUE(QFile::link(ownExecutable(), dir.file("link")));
    auto elsewhere = start(quoted(dir.file("copy")) + " " + kHoldFlag);
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), -1);
    auto linked = start(quoted(dir.file("link")) + " " + kHoldFlag);
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), linked->processId());

    // An update renames a new file over the old one; the old copy runs on.
    const std::string path = dir.file("copy").toStdString();
    ASSERT_TRUE(QFile::copy(ownExecutable(), dir.file("copy.new")));
    ASSERT_EQ(::rename(dir.file("copy.new").toUtf8().constData(), path.c_str()), 0);
    EXPECT_EQ(table.processesRunning(path), std::vector<int>{elsewhere->processId()});
    auto updated = start(quoted(dir.file("copy")) + " " + kHoldFlag);
    EXPECT_EQ(table.processesRunning(path).size(), 2u);
    elsewhere->killProcess();
    EXPECT_EQ(table.processesRunning(path), std::vector<int>{updated->processId()});
}

TEST(findOtherInstance, FollowsListOrderAndSeesThroughAReplacedFile)
{
    // Listed out of numeric order: the list decides, not the number.
    Fake table(500, "/opt/kv/korvantis-launcher");
    table.add({900, "/opt/kv/korvantis-launcher (deleted)", {}, true});
    table.add({300, "/opt/kv/Korvantis-Launcher", {}, true});
    table.add({200, "/opt/kv/korvantis-launcher", {}, true});
    table.add({250, std::nullopt, {}, true});
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), 200);
    // The old copy's view after an update replaced the file under it.
    Fake old(900, "/opt/kv/korvantis-launcher (deleted)");
    old.add({500, "/opt/kv/korvantis-launcher", {}, true});
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(old), 500);
    Fake blind(500, "");
    blind.add({200, "", {}, true});
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(blind), -1);
}

TEST(killImage, MatchesProgramsAndScriptsByNameAndSparesOtherUsersAndItself)
{
    using kv::vbKill::runsImage;
    using V = std::vector<std::string>;
    EXPECT_TRUE(runsImage("/opt/pos/blipnote", V{}, "blipnote.exe"));
    EXPECT_TRUE(runsImage("/opt/pos/blipnote (deleted)", V{}, "blipnote"));
    EXPECT_FALSE(runsImage("/opt/pos/blipnote", V{}, "Blipnote.exe"));
    EXPECT_FALSE(runsImage("/opt/pos/blipnotes", V{}, "blipnote"));
    EXPECT_TRUE(runsImage("/usr/bin/dash", {"/bin/sh", "-e", "/opt/pos/tallyward"}, "tallyward.exe"));
    EXPECT_TRUE(runsImage("/usr/bin/python3.11", {"python3", "-u", "/x/tallyward.py"}, "tallyward.py"));
    // Code given on the command line is no script, whatever it mentions.
    EXPECT_FALSE(runsImage("/usr/bin/dash", {"sh", "-c", "tallyward"}, "tallyward"));
    EXPECT_FALSE(runsImage("/usr/bin/python3.11", {"python3", "-m", "tallyward"}, "tallyward"));
    // Only interpreters run scripts: another program's argument is data.
    EXPECT_FALSE(runsImage("/usr/bin/less", {"less", "/x/tallyward"}, "tallyward"));

    Fake table(500, "/opt/kv/blipnote");
    table.add({600, "/opt/kv/blipnote", {"blipnote"}, false});
    table.add({700, "/opt/kv/blipnote", {"blipnote"}, true});
    EXPECT_EQ(kv::vbKill::killImage(table, "blipnote.exe"), 1);
    EXPECT_EQ(table.terminateCalls(), std::vector<int>{700});
}

TEST(terminateProcessById, NeverSignalsAPidBelowOne)
{
    // kill(2) reads 0, -1 and -N as process groups or everything (as root:
    // all of it), so the system table's kill call is replaced here.
    std::vector<std::pair<int, int>> sent;
    const auto table = kv::platform::systemProcessTableSendingThrough([&](int pid, int signal) {
        sent.emplace_back(pid, signal);
        return pid == 4242 ? 0 : -1;
    });
    Fake fake;
    for (const int pid : {0, -1, -4242, std::numeric_limits<int>::min()}) {
        EXPECT_FALSE(table->terminate(pid)) << pid;
        EXPECT_FALSE(kv::vbKill::terminateProcessById(fake, pid)) << pid;
    }
    EXPECT_TRUE(fake.terminateCalls().empty()) << "a pid below 1 reached the table";
    EXPECT_TRUE(table->terminate(4242));
    EXPECT_FALSE(table->terminate(4243));
    EXPECT_EQ(sent, (std::vector<std::pair<int, int>>{{4242, SIGKILL}, {4243, SIGKILL}}));
}

TEST(killImage, EndsThisUsersRunningCopiesAndScriptsOnly)
{
    auto &table = kv::platform::systemProcessTable();
    testsupport::TempAppDir dir;
    // Names of this run's own: ending by name reaches every process of the user.
    const QString tag = QStringLiteral("kvk%1").arg(::getpid());
    for (const QString &name : {tag + "blip", tag + "other"})
        ASSERT_TRUE(QFile::copy(QString::fromUtf8(childhelpers::kv_child_ignore_term), dir.file(name)));
    const QString fifo = dir.file("never");
    ASSERT_EQ(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
    dir.write(tag + "tally.sh", ("echo up\nread x < '" + fifo + "'\n").toUtf8());

    auto blip1 = start(quoted(dir.file(tag + "blip")) + " 30000", "ready");
    auto blip2 = start(quoted(dir.file(tag + "blip")) + " 30000", "ready");
    auto script = start("/bin/sh " + quoted(dir.file(tag + "tally.sh")), "up");
    auto bystander = start(quoted(dir.file(tag + "other")) + " 30000", "ready");
    EXPECT_EQ(kv::vbKill::killImage(table, ""), 0);
    EXPECT_EQ(kv::vbKill::killImage(table, tag + "blip.exe"), 2);
    EXPECT_EQ(kv::vbKill::killImage(table, tag + "tally.sh"), 1);
    for (clsProcess *p : {blip1.get(), blip2.get(), script.get()})
        EXPECT_TRUE(pollFor(*p));
    EXPECT_EQ(bystander->getOutput(), "");
    EXPECT_TRUE(bystander->pReady);
}

} // namespace
