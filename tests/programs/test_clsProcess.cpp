// The child process runner with real children (tests/childhelpers).
#include "programs/clsProcess.h"

#include "childhelpers.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <chrono>
#include <stdexcept>
#include <thread>

#include <unistd.h>

using kv::clsProcess;
using testsupport::ScriptedPrompter;
using testsupport::TempAppDir;

namespace {

QString quoted(const char *path)
{
    return QLatin1Char('"') + QString::fromUtf8(path) + QLatin1Char('"');
}

// Polls like the main tick, without its one-second pause, until `done` holds;
// fails the test when that takes longer than a generous bound.
template <typename Pred>
bool pollUntil(clsProcess &p, Pred done, int seconds = 20)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "gave up waiting; outText: " << p.outText.toStdString();
            return false;
        }
        if (p.getOutput().isEmpty())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

bool runToEnd(clsProcess &p)
{
    return pollUntil(p, [&] { return !p.pReady; });
}

bool processGone(int pid)
{
    return !QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

void touch(const QString &path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// Children of this process that have ended but were never collected.
int zombieChildren()
{
    int zombies = 0;
    const QString me = QString::number(::getpid());
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (comm) state ppid ...": comm may hold blanks, so split after ')'.
        const QString line = QString::fromUtf8(stat.readAll());
        const QStringList f = line.mid(line.lastIndexOf(QLatin1Char(')')) + 2).split(QLatin1Char(' '));
        if (f.size() > 1 && f[0] == QLatin1String("Z") && f[1] == me)
            ++zombies;
    }
    return zombies;
}

// Starts kv_child_grandchild, whose grandchild waits for `release`, and
// returns the pids it reports: {child, grandchild}.
std::pair<int, int> startGrandchild(clsProcess &p, const QString &release)
{
    p.Init(quoted(childhelpers::kv_child_grandchild) + " \"" + release + "\"", QDir::tempPath(), true, true, true);
    if (!pollUntil(p, [&] { return p.outText.endsWith(QLatin1Char('\n')); }))
        return {0, 0};
    const QStringList words = p.outText.trimmed().split(QLatin1Char(' '));
    EXPECT_EQ(words.size(), 4) << p.outText.toStdString();
    return {words.value(1).toInt(), words.value(3).toInt()};
}

} // namespace

TEST(clsProcess, MergesBothStreamsInOrderOfWriting)
{
    ScriptedPrompter prompter;
    clsProcess p(prompter);
    EXPECT_FALSE(p.pReady);
    p.Init(quoted(childhelpers::kv_child_echo) + " out:one err:two out:three \"err:four five\"",
           QDir::tempPath(), true, true, true);
    ASSERT_TRUE(p.pReady);
    ASSERT_TRUE(runToEnd(p));
    EXPECT_EQ(p.outText, "one\ntwo\nthree\nfour five\n");
    // The end was seen by a poll that returned "" and kept the text.
    EXPECT_EQ(p.getOutput(), "");
}

TEST(clsProcess, CaptureFlagsChooseTheStreams)
{
    ScriptedPrompter prompter;
    clsProcess p(prompter);
    const QString cmd = quoted(childhelpers::kv_child_echo) + " out:a err:b";
    p.Init(cmd, QDir::tempPath()); // standard output only, by default
    ASSERT_TRUE(runToEnd(p));
    EXPECT_EQ(p.outText, "a\n");
    p.Init(cmd, QDir::tempPath(), false, true, true);
    ASSERT_TRUE(runToEnd(p));
    EXPECT_EQ(p.outText, "b\n");
    const int lastRun = p.processId();
    EXPECT_THROW(p.Init(cmd, QDir::tempPath(), false, false, true), std::invalid_argument);
    EXPECT_FALSE(p.pReady);
    EXPECT_EQ(p.outText, "");
    EXPECT_EQ(p.processId(), lastRun) << "nothing may be started without a stream";
}

TEST(clsProcess, RunsInTheWorkingDirectoryWithoutAShell)
{
    TempAppDir dir;
    ScriptedPrompter prompter;
    clsProcess p(prompter);
    p.Init(quoted(childhelpers::kv_child_echo) + " cwd $HOME \"a;b\" |x", dir.appPath(), true, true, true);
    ASSERT_TRUE(runToEnd(p));
    EXPECT_EQ(p.outText, dir.path() + "\n$HOME\na;b\n|x\n");
}

TEST(clsProcess, KeepsOnlyTheLast65535Characters)
{
    ScriptedPrompter prompter;
    clsProcess p(prompter);
    p.Init(quoted(childhelpers::kv_child_flood) + " 70000", QDir::tempPath(), true, true, true);
    qsizetype longestChunk = 0;
    qsizetype total = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (p.pReady && std::chrono::steady_clock::now() < deadline) {
        const qsizetype n = p.getOutput().size();
        longestChunk = std::max(longestChunk, n);
        total += n;
    }
    ASSERT_FALSE(p.pReady);
    EXPECT_EQ(total, 70000);
    EXPECT_LE(longestChunk, 65535);
    ASSERT_EQ(p.outText.size(), 65535);
    for (qsizetype i = 0; i < p.outText.size(); ++i) {
        const qsizetype written = 70000 - 65535 + i;
        ASSERT_EQ(p.outText.at(i), QLatin1Char(char('a' + written % 26))) << "at " << i;
    }
}

TEST(clsProcess, PollWithNothingWaitingKeepsRunningAndInitChangesNothing)
{
    TempAppDir dir;
    ScriptedPrompter prompter;
    clsProcess p(prompter);
    const QString go = dir.file("go");
    p.Init(quoted(childhelpers::kv_child_write_bytes) + " 6869 \"wait:" + go + "\" 0a", dir.path(),
           true, true, true);
    ASSERT_TRUE(pollUntil(p, [&] { return p.outText == "hi"; }));
    EXPECT_EQ(p.getOutput(), "");
    EXPECT_TRUE(p.pReady);
    const int pid = p.processId();
    p.Init(quoted(childhelpers::kv_child_echo) + " other", dir.path(), true, true, true);
    EXPECT_EQ(p.processId(), pid);
    EXPECT_EQ(p.outText, "hi");
    touch(go);
    ASSERT_TRUE(runToEnd(p));
    EXPECT_EQ(p.outText, "hi\n");
}

TEST(clsProcess, GrandchildHoldingThePipeKeepsItRunning)
{
    TempAppDir dir;
    ScriptedPrompter prompter;
    clsProcess p(prompter);
    const QString release = dir.file("release");
    const auto [child, grandchild] = startGrandchild(p, release);
    ASSERT_GT(grandchild, 0);
    // The child has ended and been collected while the grandchild lives on.
    ASSERT_TRUE(pollUntil(p, [&] { return processGone(child); }));
    EXPECT_FALSE(processGone(grandchild));
    EXPECT_EQ(p.getOutput(), "");
    EXPECT_TRUE(p.pReady);
    touch(release);
    ASSERT_TRUE(runToEnd(p));
    EXPECT_TRUE(p.outText.endsWith("grandchild done\n")) << p.outText.toStdString();
}

TEST(clsProcess, KillProcessLeavesWhatTheChildStartedAlive)
{
    TempAppDir dir;
    ScriptedPrompter prompter;
    clsProcess p(prompter);
    const QString release = dir.file("release");
    ASSERT_GT(startGrandchild(p, release).second, 0);
    p.killProcess();
    // The grandchild writes to the pipe after the runner has let go of it,
    // as a front-end does after its run script was stopped.
    touch(release);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!QFile::exists(release + ".done") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(QFile::exists(release + ".done")) << "the grandchild died writing its output";
}

TEST(clsProcess, KillProcessEndsTheChildAndTheRunnerStartsAgain)
{
    ScriptedPrompter prompter;
    clsProcess never(prompter);
    never.pReady = true;
    never.outText = "left over";
    never.killProcess();
    EXPECT_FALSE(never.pReady);
    EXPECT_EQ(never.outText, "");

    clsProcess p(prompter);
    p.Init(quoted(childhelpers::kv_child_ignore_term) + " 30000", QDir::tempPath(), true, true, true);
    ASSERT_TRUE(pollUntil(p, [&] { return p.outText.startsWith("ready"); }));
    const int pid = p.processId();
    EXPECT_EQ(p.outText, QStringLiteral("ready %1\n").arg(pid));
    p.killProcess();
    EXPECT_FALSE(p.pReady);
    EXPECT_EQ(p.outText, "");
    EXPECT_EQ(p.processId(), 0);
    EXPECT_TRUE(processGone(pid)) << "killed child still there (or a zombie)";

    p.Init(quoted(childhelpers::kv_child_echo) + " again", QDir::tempPath(), true, true, true);
    ASSERT_TRUE(runToEnd(p));
    EXPECT_EQ(p.outText, "again\n");
    // An ended run: killProcess only clears, the collected pid gets nothing.
    p.killProcess();
    EXPECT_EQ(p.outText, "");
}

TEST(clsProcess, FailedStartShowsTheMessageAndALaterStartWorks)
{
    TempAppDir dir;
    dir.write("afile", "x");
    ScriptedPrompter prompter;
    const QString missing = "\"" + dir.file("no-such-program") + "\"  -v stationid=3";
    prompter.expectMessage("Failed to create process: " + missing + " in " + dir.appPath() + ".",
                           kv::MsgButtons::OK, kv::MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                           kv::MsgIcon::Exclamation, true);
    // A file where the working directory should be.
    const QString echo = quoted(childhelpers::kv_child_echo) + " ok";
    prompter.expectMessage("Failed to create process: " + echo + " in " + dir.file("afile") + ".",
                           kv::MsgButtons::OK, kv::MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                           kv::MsgIcon::Exclamation, true);
    clsProcess p(prompter);
    p.Init(missing, dir.appPath(), true, true, true);
    EXPECT_FALSE(p.pReady);
    p.Init(echo, dir.file("afile"), true, true, true);
    EXPECT_FALSE(p.pReady);
    prompter.verifyDone();

    p.Init(echo, dir.appPath(), true, true, true);
    ASSERT_TRUE(p.pReady);
    ASSERT_TRUE(runToEnd(p));
    EXPECT_EQ(p.outText, "ok\n");
}

TEST(clsProcess, DecodesUtf8AcrossReadsAndReplacesInvalidBytes)
{
    TempAppDir dir;
    ScriptedPrompter prompter;
    clsProcess p(prompter);
    const QString go = dir.file("go");
    // "A", then the first byte of "é" | its second byte, "B", an invalid byte,
    // "€" cut after two of its three bytes by the end of the output.
    p.Init(quoted(childhelpers::kv_child_write_bytes) + " 41c3 \"wait:" + go + "\" a942ff e282",
           dir.path(), true, true, true);
    ASSERT_TRUE(pollUntil(p, [&] { return !p.outText.isEmpty(); }));
    EXPECT_EQ(p.outText, "A");
    touch(go);
    QString rest;
    ASSERT_TRUE(pollUntil(p, [&] {
        rest += p.getOutput();
        return !p.pReady;
    }));
    EXPECT_TRUE(rest.startsWith(QString::fromUtf8("\xc3\xa9" "B\xef\xbf\xbd"))) << rest.toStdString();
    EXPECT_TRUE(p.outText.startsWith(QString::fromUtf8("A\xc3\xa9" "B\xef\xbf\xbd")));
    EXPECT_TRUE(p.outText.endsWith(QChar(0xFFFD))) << "cut-off character lost";
    EXPECT_FALSE(p.outText.contains(QChar(0x20AC)));
}

TEST(clsProcess, ThousandRunsLeaveNoZombieAndNoDescriptor)
{
    ScriptedPrompter prompter;
    clsProcess p(prompter);
    const int fdsBefore = openDescriptors();
    const QString echo = quoted(childhelpers::kv_child_echo) + " x";
    const QString hold = quoted(childhelpers::kv_child_ignore_term) + " 30000";
    for (int i = 0; i < 1000; ++i) {
        if (i % 10 == 0) {
            // Some runs are killed while they run, some end on their own.
            p.Init(hold, QDir::tempPath(), true, true, true);
            ASSERT_TRUE(p.pReady);
            p.killProcess();
        } else {
            p.Init(echo, QDir::tempPath(), true, true, true);
            ASSERT_TRUE(runToEnd(p));
        }
    }
    p.killProcess();
    EXPECT_EQ(openDescriptors(), fdsBefore);
    EXPECT_EQ(zombieChildren(), 0);
}
