// The child process runner with real children (tests/childhelpers).
#include "programs/clsProcess.h"

#include "childhelpers.h"
#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using kv::clsProcess;
using testsupport::ScriptedPrompter;
using testsupport::TempAppDir;

namespace {

QString quoted(const char *path) { return QLatin1Char('"') + QString::fromUtf8(path) + QLatin1Char('"'); }

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

bool runToEnd(clsProcess &p) { return pollUntil(p, [&] { return !p.pReady; }); }
bool processGone(int pid) { return !QFile::exists(QStringLiteral("/proc/%1").arg(pid)); }

void touch(const QString &path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
}

int entriesOf(const char *dir)
{
    return int(QDir(QString::fromLatin1(dir)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}
int openDescriptors() { return entriesOf("/proc/self/fd"); }
int threads() { return entriesOf("/proc/self/task"); }

// Waits on real time, up to `seconds`, until `done` holds.
template <typename Pred>
bool within(int seconds, Pred done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

// Lowers this process's descriptor limit so that exactly `free` more
// descriptors can be opened, and restores it when it goes.
class DescriptorLimit {
public:
    explicit DescriptorLimit(int free)
    {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit low = m_saved;
        int fd = 0;
        for (int found = 0; found < free; ++fd) {
            if (::fcntl(fd, F_GETFD) < 0)
                ++found;
        }
        low.rlim_cur = rlim_t(fd);
        if (::setrlimit(RLIMIT_NOFILE, &low) != 0)
            ADD_FAILURE() << "cannot lower the descriptor limit";
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }

private:
    rlimit m_saved{};
};

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

// A runner of its own for each test; tables make one per case.
class Runner : public ::testing::Test {
protected:
    TempAppDir dir;
    ScriptedPrompter prompter;
    clsProcess p{prompter};
};

} // namespace

TEST_F(Runner, MergesBothStreamsInOrderOfWritingInTheWorkingDirectoryWithoutAShell)
{
    p.Init(quoted(childhelpers::kv_child_echo) + " out:one err:two cwd $HOME \"a;b\" |x \"err:four five\"",
           dir.appPath(), true, true, true);
    ASSERT_TRUE(p.pReady);
    ASSERT_TRUE(runToEnd(p));
    EXPECT_EQ(p.outText, "one\ntwo\n" + dir.path() + "\n$HOME\na;b\n|x\nfour five\n");
    // The end was seen by a poll that returned "" and kept the text.
    EXPECT_EQ(p.getOutput(), "");
}

TEST_F(Runner, CaptureFlagsChooseTheStreams)
{
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
    EXPECT_EQ(p.processId(), lastRun) << "nothing may be started without a stream";
}

TEST_F(Runner, GrandchildHoldingThePipeKeepsItRunningAndInitChangesNothing)
{
    const QString release = dir.file("release");
    const auto [child, grandchild] = startGrandchild(p, release);
    ASSERT_GT(grandchild, 0);
    // The child has ended and been collected while the grandchild lives on.
    ASSERT_TRUE(pollUntil(p, [&] { return processGone(child); }));
    EXPECT_FALSE(processGone(grandchild));
    EXPECT_EQ(p.getOutput(), "");
    EXPECT_TRUE(p.pReady);
    const QString said = p.outText;
    p.Init(quoted(childhelpers::kv_child_echo) + " other", dir.path(), true, true, true);
    EXPECT_EQ(p.processId(), child);
    EXPECT_EQ(p.outText, said);
    touch(release);
    ASSERT_TRUE(runToEnd(p));
    EXPECT_TRUE(p.outText.endsWith("grandchild done\n")) << p.outText.toStdString();
}

TEST_F(Runner, KillProcessLeavesWhatTheChildStartedAlive)
{
    const QString release = dir.file("release");
    ASSERT_GT(startGrandchild(p, release).second, 0);
    p.killProcess();
    // The grandchild writes to the pipe after the runner has let go of it,
    // as a front-end does after its run script was stopped.
    touch(release);
    EXPECT_TRUE(within(20, [&] { return QFile::exists(release + ".done"); }))
        << "the grandchild died writing its output";
}

TEST_F(Runner, KillProcessEndsTheChildAtOnce)
{
    p.Init(quoted(childhelpers::kv_child_ignore_term) + " 30000", QDir::tempPath(), true, true, true);
    ASSERT_TRUE(pollUntil(p, [&] { return p.outText.startsWith("ready"); }));
    const int pid = p.processId();
    EXPECT_EQ(p.outText, QStringLiteral("ready %1\n").arg(pid));
    p.killProcess();
    EXPECT_FALSE(p.pReady);
    EXPECT_EQ(p.outText, "");
    EXPECT_EQ(p.processId(), 0);
    EXPECT_TRUE(processGone(pid)) << "killed child still there (or a zombie)";
    // Starting again: ThousandRunsLeaveNoZombieAndNoDescriptor.
}

TEST_F(Runner, FailedStartShowsTheMessageAndKeepsWhy)
{
    // A file where the directory should be; a missing program is the
    // supervision and loading tests' case.
    dir.write("afile", "x");
    const QString echo = quoted(childhelpers::kv_child_echo) + " ok";
    const QString message = "Failed to create process: " + echo + " in " + dir.file("afile") + ".";
    prompter.expectMessage(message, kv::MsgButtons::OK, kv::MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                           kv::MsgIcon::Exclamation, true);
    p.Init(echo, dir.file("afile"), true, true, true);
    EXPECT_FALSE(p.pReady);
    const QString said = p.startError();
    EXPECT_TRUE(said.contains(message) && said.contains(QString::fromUtf8(std::strerror(ENOTDIR))))
        << said.toStdString();
    prompter.verifyDone();
}

TEST_F(Runner, AStartFailureWithoutAReasonIsNotCalledASuccess)
{
    // A platform layer that fails without saying why.
    struct Mute final : kv::platform::ChildSpawner {
        std::unique_ptr<kv::platform::Child> spawn(const std::vector<std::string> &, const std::string &,
                                                   kv::platform::Capture, kv::platform::SpawnError &error) override
        {
            error = {};
            return nullptr;
        }
    } mute;
    prompter.expectMessage("Failed to create process: prog in /opt/pos/.", kv::MsgButtons::OK, kv::MsgResult::OK);
    clsProcess muted(prompter, mute);
    muted.Init("prog", "/opt/pos/", true, true, true);
    const QString said = muted.startError();
    EXPECT_TRUE(said.contains("Failed to create process: prog in /opt/pos/.")) << said.toStdString();
    EXPECT_FALSE(said.contains(QString::fromUtf8(std::strerror(0)))) << said.toStdString();
}

TEST_F(Runner, NoPipeAtTheDescriptorLimitIsAFailedStartWithItsReason)
{
    const QString echo = quoted(childhelpers::kv_child_echo) + " ok";
    // Free descriptors left: a pipe needs two; the start itself needs none more.
    for (const int free : {1, 2}) {
        SCOPED_TRACE(free);
        ScriptedPrompter prompter; // a pipe that cannot be made shows no box
        clsProcess p(prompter);
        {
            DescriptorLimit limit(free);
            p.Init(echo, QDir::tempPath(), true, true, true);
        }
        const QString said = p.startError();
        prompter.verifyDone();
        if (free < 2) {
            EXPECT_FALSE(p.pReady);
            EXPECT_TRUE(said.contains(echo) && said.contains(QString::fromUtf8(std::strerror(EMFILE))))
                << said.toStdString();
            p.Init(echo, QDir::tempPath(), true, true, true);
        } else {
            EXPECT_EQ(said, "");
        }
        ASSERT_TRUE(p.pReady);
        ASSERT_TRUE(runToEnd(p));
        EXPECT_EQ(p.outText, "ok\n");
    }
}

TEST_F(Runner, DecodesUtf8ExactlyAcrossReadsAndAtBothEnds)
{
    const QString smile = QString::fromUtf8("\xf0\x9f\x98\x80"); // U+1F600, two UTF-16 units
    const QString bad(QChar(0xFFFD));
    struct Case {
        const char *what;
        QString before;  // written first and read alone ("" for none)
        QString after;   // written once the test has read `before`
        QString first;   // outText after reading `before`
        QString all;     // outText at the end
    };
    const Case cases[] = {
        {"4-byte character split 1|3", "41f0", "9f988042", "A", "A" + smile + "B"},
        {"4-byte character split 3|1", "41f09f98", "8042", "A", "A" + smile + "B"},
        {"a byte that starts nothing is replaced at once", "41ff", "42", "A" + bad, "A" + bad + "B"},
        {"character cut off by the end", "41", "f09f98", "A", "A" + bad},
        // More than a pipe holds, so it takes several reads.
        {"the limit cuts a pair: its half goes", "", "f09f9880 62 61*65533", "", "b" + QString(65533, QLatin1Char('a'))},
        {"the limit just keeps a pair", "", "f09f9880 61*65533", "", smile + QString(65533, QLatin1Char('a'))},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempAppDir dir;
        ScriptedPrompter prompter;
        clsProcess p(prompter);
        const QString go = dir.file("go");
        p.Init(quoted(childhelpers::kv_child_write_bytes) + " " + c.before + " \"wait:" + go + "\" " + c.after,
               dir.path(), true, true, true);
        if (!c.before.isEmpty()) {
            ASSERT_TRUE(pollUntil(p, [&] { return !p.outText.isEmpty(); }));
            EXPECT_EQ(p.outText, c.first);
        }
        touch(go);
        ASSERT_TRUE(runToEnd(p));
        EXPECT_TRUE(p.outText == c.all) << p.outText.size() << " characters: "
                                        << p.outText.left(8).toStdString() << "...";
    }
}

TEST_F(Runner, ChildThatClosedItsOutputIsCollectedWhenItEnds)
{
    // It ends on its own after the runner has seen the pipe close, with no
    // further call on the runner; or it is stopped by hand.
    for (const bool byHand : {false, true}) {
        SCOPED_TRACE(byHand);
        TempAppDir dir;
        ScriptedPrompter prompter;
        clsProcess p(prompter);
        const QString go = dir.file("go");
        p.Init(quoted(childhelpers::kv_child_write_bytes) + " 6869 close \"wait:" + go + "\"", dir.path(),
               true, true, true);
        ASSERT_TRUE(runToEnd(p));
        EXPECT_EQ(p.outText, "hi");
        const int pid = p.processId();
        ASSERT_FALSE(processGone(pid)) << "the child should still be running";
        if (byHand)
            p.killProcess();
        else
            touch(go);
        EXPECT_TRUE(within(10, [&] { return processGone(pid); })) << "the ended child is left a zombie";
    }
}

TEST_F(Runner, PipesLeftToGrandchildrenCostNoThreadEach)
{
    const QString release = dir.file("release");
    ASSERT_EQ(::mkfifo(release.toUtf8().constData(), 0600), 0);
    // A front-end restarted again and again while what each run started
    // lives on with the run's output pipe.
    const auto restart = [&] {
        p.pReady = false;
        return startGrandchild(p, release).second > 0;
    };
    ASSERT_TRUE(restart());
    ASSERT_TRUE(restart()); // the first pipe is let go of here
    const int threadsBefore = threads();
    const int fdsBefore = openDescriptors();
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(restart());
    p.killProcess();
    EXPECT_LE(threads(), threadsBefore + 1) << "a thread for each pipe let go of";

    // Let every grandchild go and wait until their pipes are closed.
    const int fifo = ::open(release.toUtf8().constData(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    within(30, [&] { return openDescriptors() <= fdsBefore + 1; });
    ::close(fifo);
    EXPECT_LE(openDescriptors(), fdsBefore) << "pipes of ended grandchildren still open";
    EXPECT_LE(threads(), threadsBefore);
}

TEST_F(Runner, ThousandRunsLeaveNoZombieAndNoDescriptor)
{
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
    // Killed children and their pipes go to the one thread that collects them
    // a moment later; made on first need, it keeps a descriptor of its own.
    EXPECT_TRUE(within(10, [&] { return openDescriptors() <= fdsBefore + 1 && zombieChildren() == 0; }))
        << openDescriptors() << " descriptors (" << fdsBefore << " before), " << zombieChildren() << " zombies";
}
