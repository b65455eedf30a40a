// Finding another copy of the launcher and ending processes, with real
// processes: copies of this test program stand in for launcher copies.
#include "programs/clsProcess.h"
#include "programs/vbKill.h"
#include "programs/vbOtherInstance.h"
#include "platform/fakes/process_fake.h"

#include "childhelpers.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <thread>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

using kv::clsProcess;

namespace {

constexpr char kHoldFlag[] = "--kv-hold-for-lookup";

// Started with kHoldFlag, this program is only a second running copy of
// itself: it says so and waits to be killed (a minute at most), before any
// test can run.
const bool kHeld = [] {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t first = cmdline.find('\0');
    if (first == std::string::npos || cmdline.compare(first + 1, std::string::npos, std::string(kHoldFlag) + '\0') != 0)
        return false;
    const char msg[] = "held\n";
    if (::write(1, msg, sizeof msg - 1) < 0)
        ::_exit(2);
    ::sleep(60);
    ::_exit(0);
}();

QString quoted(const QString &path) { return QLatin1Char('"') + path + QLatin1Char('"'); }
QString ownExecutable() { return QFile::symLinkTarget(QStringLiteral("/proc/self/exe")); }

// A runner whose child is killed when the test leaves, passed or failed.
struct KillOnExit {
    void operator()(clsProcess *p) const
    {
        p->killProcess();
        delete p;
    }
};
using Runner = std::unique_ptr<clsProcess, KillOnExit>;

// Polls the runner until it has ended or, given a word, said it; true when
// that happened within twenty seconds.
bool pollFor(clsProcess &p, const QString &word = {})
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto done = [&] { return word.isEmpty() ? !p.pReady : p.outText.contains(word); };
    while (p.pReady && !done() && std::chrono::steady_clock::now() < deadline) {
        if (p.getOutput().isEmpty())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

// Starts a program and waits until it has said `word`, so it is really running.
Runner startAndWait(kv::Prompter &prompter, const QString &commandLine, const QString &word)
{
    Runner p(new clsProcess(prompter));
    p->Init(commandLine, QDir::tempPath(), true, true, true);
    EXPECT_TRUE(pollFor(*p, word)) << commandLine.toStdString() << ": " << p->outText.toStdString();
    return p;
}

} // namespace

TEST(findOtherInstance, FindsAnotherCopyAndNeverItself)
{
    ASSERT_FALSE(kHeld);
    auto &table = kv::platform::systemProcessTable();
    testsupport::ScriptedPrompter prompter;
    // Asked again and again, as the tick does: the table then only looks
    // at every process when something may have started the file.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), -1);

    const QString copyLine = quoted(ownExecutable()) + " " + kHoldFlag;
    auto first = startAndWait(prompter, copyLine, "held");
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), first->processId());

    // Which of several: SurvivesAnUpdateReplacingTheFileAndFollowsListOrder.
    first->killProcess();
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), -1);
}

TEST(findOtherInstance, ACopyOfTheFileElsewhereIsAnotherProgram)
{
    auto &table = kv::platform::systemProcessTable();
    testsupport::ScriptedPrompter prompter;
    testsupport::TempAppDir dir;
    const QString copy = dir.file("launcher-copy");
    ASSERT_TRUE(QFile::copy(ownExecutable(), copy));
    auto elsewhere = startAndWait(prompter, quoted(copy) + " " + kHoldFlag, "held");
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), -1);
    elsewhere->killProcess();

    // The system resolves links: a copy started through one is the same file.
    const QString link = dir.file("launcher-link");
    ASSERT_TRUE(QFile::link(ownExecutable(), link));
    auto linked = startAndWait(prompter, quoted(link) + " " + kHoldFlag, "held");
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), linked->processId());
    linked->killProcess();
}

TEST(findOtherInstance, TheSystemTableSeesEveryStartAndEndAcrossAnUpdate)
{
    auto &table = kv::platform::systemProcessTable();
    testsupport::ScriptedPrompter prompter;
    testsupport::TempAppDir dir;
    const QString file = dir.file("launcher");
    ASSERT_TRUE(QFile::copy(ownExecutable(), file));
    const std::string path = file.toStdString();
    const auto running = [&] { return table.processesRunning(path); };
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(running().empty());

    auto old = startAndWait(prompter, quoted(file) + " " + kHoldFlag, "held");
    EXPECT_EQ(running(), std::vector<int>{old->processId()});
    EXPECT_EQ(running(), std::vector<int>{old->processId()});
    // An update renames a new file over the old one; the old copy runs on.
    ASSERT_TRUE(QFile::copy(ownExecutable(), dir.file("launcher.new")));
    ASSERT_EQ(::rename(dir.file("launcher.new").toUtf8().constData(), file.toUtf8().constData()), 0);
    EXPECT_EQ(running(), std::vector<int>{old->processId()});
    auto updated = startAndWait(prompter, quoted(file) + " " + kHoldFlag, "held");
    auto both = running();
    std::sort(both.begin(), both.end());
    auto expected = std::vector<int>{old->processId(), updated->processId()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(both, expected);
    old->killProcess();
    EXPECT_EQ(running(), std::vector<int>{updated->processId()});
    updated->killProcess();
    EXPECT_TRUE(running().empty());
}

TEST(findOtherInstance, SurvivesAnUpdateReplacingTheFileAndFollowsListOrder)
{
    using Fake = kv::platform::FakeProcessTable;
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

TEST(killImage, SparesOtherUsersAndTheLauncherItself)
{
    kv::platform::FakeProcessTable table(500, "/opt/kv/blipnote");
    table.add({600, "/opt/kv/blipnote", {"blipnote"}, false});
    table.add({700, "/opt/kv/blipnote", {"blipnote"}, true});
    EXPECT_EQ(kv::vbKill::killImage(table, "blipnote.exe"), 1);
    EXPECT_EQ(table.terminateCalls(), std::vector<int>{700});
    EXPECT_TRUE(table.running(500));
    EXPECT_TRUE(table.running(600));
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
    // The fake records even calls it refuses: the guard must hold on its own.
    kv::platform::FakeProcessTable fake;
    for (const int pid : {0, -1, -2, -4242, std::numeric_limits<int>::min()}) {
        EXPECT_FALSE(table->terminate(pid)) << pid;
        EXPECT_FALSE(kv::vbKill::terminateProcessById(fake, pid)) << pid;
    }
    EXPECT_TRUE(fake.terminateCalls().empty()) << "a pid below 1 reached the table";
    EXPECT_TRUE(sent.empty()) << "a pid below 1 reached kill(2)";
    fake.add({7, "/opt/kv/blipnote", {}, true});
    EXPECT_TRUE(kv::vbKill::terminateProcessById(fake, 7));
    EXPECT_FALSE(fake.running(7));

    // A real pid goes out through that same call, and its result counts.
    EXPECT_TRUE(table->terminate(4242));
    EXPECT_FALSE(table->terminate(4243));
    EXPECT_EQ(sent, (std::vector<std::pair<int, int>>{{4242, SIGKILL}, {4243, SIGKILL}}));
}

TEST(killImage, MatchesProgramsAndScriptsByName)
{
    using kv::vbKill::runsImage;
    using V = std::vector<std::string>;
    // ".exe" dropped and the empty name: EndsThisUsersRunningCopiesButNeverTheLauncher.
    EXPECT_TRUE(runsImage("/opt/pos/blipnote.exe", V{}, "blipnote.exe"));
    EXPECT_TRUE(runsImage("/opt/pos/blipnote (deleted)", V{}, "blipnote"));
    EXPECT_FALSE(runsImage("/opt/pos/blipnote", V{}, "Blipnote.exe"));
    EXPECT_FALSE(runsImage("/opt/pos/blipnotes", V{}, "blipnote"));
    EXPECT_TRUE(runsImage("/usr/bin/dash", {"/bin/sh", "-e", "/opt/pos/tallyward"}, "tallyward.exe"));
    EXPECT_TRUE(runsImage("/usr/bin/bash", {"bash", "-o", "posix", "tallyward.sh"}, "tallyward.sh"));
    EXPECT_TRUE(runsImage("/usr/bin/python3.11", {"python3", "-u", "/x/tallyward.py"}, "tallyward.py"));
    EXPECT_TRUE(runsImage("/usr/bin/perl", {"perl", "--", "/x/tallyward"}, "tallyward"));
    // Code given on the command line is no script, whatever it mentions.
    EXPECT_FALSE(runsImage("/usr/bin/dash", {"sh", "-c", "tallyward"}, "tallyward"));
    EXPECT_FALSE(runsImage("/usr/bin/python3.11", {"python3", "-m", "tallyward"}, "tallyward"));
    EXPECT_FALSE(runsImage("/usr/bin/perl", {"perl", "-e", "tallyward"}, "tallyward"));
    // Only interpreters run scripts: another program's argument is data.
    EXPECT_FALSE(runsImage("/usr/bin/less", {"less", "/x/tallyward"}, "tallyward"));
}

TEST(killImage, EndsThisUsersRunningCopiesButNeverTheLauncher)
{
    auto &table = kv::platform::systemProcessTable();
    testsupport::ScriptedPrompter prompter;
    testsupport::TempAppDir dir;
    // Names of their own, so that nothing else on the machine is hit.
    const QString tag = QStringLiteral("kvk%1").arg(::getpid());
    const QString program = dir.file(tag + "blip");
    ASSERT_TRUE(QFile::copy(QString::fromUtf8(childhelpers::kv_child_ignore_term), program));
    const QString fifo = dir.file("never");
    ASSERT_EQ(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
    dir.write(tag + "tally.sh", ("#!/bin/sh\necho up\nread x < '" + fifo + "'\n").toUtf8());
    const QString other = dir.file(tag + "other");
    ASSERT_TRUE(QFile::copy(QString::fromUtf8(childhelpers::kv_child_ignore_term), other));

    auto blip1 = startAndWait(prompter, quoted(program) + " 30000", "ready");
    auto blip2 = startAndWait(prompter, quoted(program) + " 30000", "ready");
    auto script = startAndWait(prompter, "/bin/sh " + quoted(dir.file(tag + "tally.sh")), "up");
    auto bystander = startAndWait(prompter, quoted(other) + " 30000", "ready");

    EXPECT_EQ(kv::vbKill::killImage(table, ""), 0);
    EXPECT_EQ(kv::vbKill::killImage(table, tag + "blip.exe"), 2);
    EXPECT_EQ(kv::vbKill::killImage(table, tag + "tally.sh"), 1);
    EXPECT_TRUE(pollFor(*blip1));
    EXPECT_TRUE(pollFor(*blip2));
    EXPECT_TRUE(pollFor(*script));
    EXPECT_EQ(bystander->getOutput(), "");
    EXPECT_TRUE(bystander->pReady);
    bystander->killProcess();
}
