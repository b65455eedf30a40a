// The child process runner with real children: the helper programs and
// small shell scripts.
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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using kv::clsProcess;

namespace {

QString quoted(const QString &path) { return QLatin1Char('"') + path + QLatin1Char('"'); }
const QString kEcho = quoted(QString::fromUtf8(childhelpers::kv_child_echo));

// Waits on real time, up to `seconds`, until `done` holds.
template <typename Pred>
bool within(int seconds, Pred done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return done();
}

// Polls like the main tick, without its one-second pause.
template <typename Pred>
bool pollUntil(clsProcess &p, Pred done)
{
    return within(20, [&] { return p.getOutput(), done(); });
}
bool runToEnd(clsProcess &p) { return pollUntil(p, [&] { return !p.pReady; }); }
bool processGone(int pid) { return !QFile::exists(QStringLiteral("/proc/%1").arg(pid)); }
void touch(const QString &path) { QFile(path).open(QIODevice::WriteOnly); }

int entriesOf(const char *dir)
{
    return int(QDir(QString::fromLatin1(dir)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// Children of this process that have ended but were never collected.
int zombieChildren()
{
    int zombies = 0;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (comm) state ppid ...": comm may hold blanks.
        const QString line = QString::fromUtf8(stat.readAll());
        const QStringList f = line.mid(line.lastIndexOf(QLatin1Char(')')) + 2).split(QLatin1Char(' '));
        zombies += f.size() > 1 && f[0] == QLatin1String("Z") && f[1].toInt() == ::getpid();
    }
    return zombies;
}

class Runner : public ::testing::Test {
protected:
    testsupport::TempAppDir dir;
    testsupport::ScriptedPrompter prompter;
    clsProcess p{prompter};

    // "/bin/sh SCRIPT ARGS", the script written to the test's directory.
    QString script(const QString &name, const QByteArray &body, const QString &args = {})
    {
        dir.write(name, body);
        return QStringLiteral("/bin/sh ") + quoted(dir.file(name)) + QLatin1Char(' ') + args;
    }
};

TEST_F(Runner, CapturesTheChosenStreamsInOrderInItsDirectoryWithoutAShell)
{
    const QString cmd = kEcho + " out:one err:two cwd $HOME \"a;b\" |x";
    const struct {
        bool out, err;
        QString text;
    } cases[] = {
        {true, true, "one\ntwo\n" + dir.path() + "\n$HOME\na;b\n|x\n"},
        {true, false, "one\n" + dir.path() + "\n$HOME\na;b\n|x\n"},
        {false, true, "two\n"},
    };
    for (const auto &c : cases) {
        p.Init(cmd, dir.appPath(), c.out, c.err, true);
        ASSERT_TRUE(runToEnd(p));
        EXPECT_EQ(p.outText, c.text);
    }
    EXPECT_THROW(p.Init(cmd, dir.path(), false, false, true), std::invalid_argument);
    EXPECT_FALSE(p.pReady);
}

// A front-end's run script ends while what it started holds its output.
TEST_F(Runner, WhatTheChildStartedKeepsThePipeAndOutlivesAKill)
{
    const QString release = dir.file("release");
    p.Init(script("gc.sh", "(while [ ! -e \"$1\" ]; do sleep 0.02; done; echo gone; touch \"$1.done\") &\n"
                           "echo \"$$ $!\"\n", quoted(release)),
           dir.path(), true, true, true);
    ASSERT_TRUE(pollUntil(p, [&] { return p.outText.endsWith('\n'); }));
    const int child = p.outText.split(' ').value(0).toInt();
    ASSERT_TRUE(within(20, [&] { return processGone(child); }));
    p.getOutput();
    EXPECT_TRUE(p.pReady) << "the pipe is still open";
    const QString said = p.outText;
    p.Init(kEcho + " other", dir.path(), true, true, true);
    EXPECT_EQ(p.processId(), child) << "a start while running";
    EXPECT_EQ(p.outText, said);
    // The grandchild writes after the runner let go: that must not kill it.
    p.killProcess();
    touch(release);
    EXPECT_TRUE(within(20, [&] { return QFile::exists(release + ".done"); }));
}

TEST_F(Runner, DecodesUtf8ExactlyAcrossReadsAndKeepsTheNewestText)
{
    const QString smile = QString::fromUtf8("\xf0\x9f\x98\x80"), bad(QChar(0xFFFD));
    const QString a(65533, QLatin1Char('a'));
    const struct {
        const char *what, *before, *after; // printf formats, octal bytes
        int as;                            // letters a written at the end
        QString first, all;
    } cases[] = {
        {"a character split 1|3", "A\\360", "\\237\\230\\200B", 0, "A", "A" + smile + "B"},
        {"a byte that starts nothing is replaced at once", "A\\377", "B", 0, "A" + bad, "A" + bad + "B"},
        {"a character cut off by the end", "A", "\\360\\237\\230", 0, "A", "A" + bad},
        {"the limit cuts a pair: its half goes", "", "\\360\\237\\230\\200b", 65533, "", "b" + a},
        {"the limit just keeps a pair", "", "\\360\\237\\230\\200", 65533, "", smile + a},
    };
    const QString go = dir.file("go");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(go);
        p.Init(script("utf.sh", "printf \"$1\"; while [ ! -e \"$2\" ]; do sleep 0.01; done; printf \"$3\"; "
                                "head -c \"$4\" /dev/zero | tr '\\0' a\n",
                      QStringLiteral("\"%1\" %2 \"%3\" %4").arg(c.before, quoted(go), c.after).arg(c.as)),
               dir.path(), true, true, true);
        if (*c.before) {
            ASSERT_TRUE(pollUntil(p, [&] { return !p.outText.isEmpty(); }));
        }
        EXPECT_EQ(p.outText, c.first);
        touch(go);
        ASSERT_TRUE(runToEnd(p));
        EXPECT_TRUE(p.outText == c.all) << p.outText.size() << " characters: " << p.outText.left(8).toStdString();
    }
}

// A till runs for weeks: no run may leave a zombie, a descriptor or a thread.
TEST_F(Runner, RunsLeaveNoZombieNoDescriptorAndNoThread)
{
    const QString fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
    const QString holder = script("hold.sh", "(read x < \"$1\"; echo gone) &\necho up\n", quoted(fifo));
    const QString closer = script("close.sh", "printf hi; exec >&- 2>&-; sleep 0.3\n");
    const QString stubborn = quoted(QString::fromUtf8(childhelpers::kv_child_ignore_term)) + " 30000";
    // Warm up: the first abandoned pipe and the collecting thread.
    for (int i = 0; i < 2; ++i) {
        p.pReady = false;
        p.Init(holder, dir.path(), true, true, true);
    }
    const int fdsBefore = entriesOf("/proc/self/fd"), threadsBefore = entriesOf("/proc/self/task");
    for (int i = 0; i < 300; ++i) {
        if (i % 3 == 0) {
            // A front-end restarted while what it started lives on with its output.
            p.pReady = false;
            p.Init(holder, dir.path(), true, true, true);
            ASSERT_TRUE(pollUntil(p, [&] { return p.outText == "up\n"; }));
            p.pReady = false;
        } else if (i % 3 == 1) {
            p.Init(i % 2 ? closer : stubborn, dir.path(), true, true, true);
            ASSERT_TRUE(p.pReady);
            if (i % 2 == 0)
                p.killProcess();
            else
                ASSERT_TRUE(runToEnd(p));
        } else {
            p.Init(kEcho + " x", dir.path(), true, true, true);
            ASSERT_TRUE(runToEnd(p));
        }
    }
    p.killProcess();
    EXPECT_LE(entriesOf("/proc/self/task"), threadsBefore + 1) << "a thread for each pipe let go of";
    // Let every grandchild go: they wake on a writer, and end at its close.
    const int release = ::open(fifo.toUtf8().constData(), O_RDWR | O_NONBLOCK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::close(release);
    EXPECT_TRUE(within(20, [&] {
        return entriesOf("/proc/self/fd") <= fdsBefore && zombieChildren() == 0 &&
               entriesOf("/proc/self/task") <= threadsBefore;
    })) << entriesOf("/proc/self/fd") << " descriptors (" << fdsBefore << " before), " << zombieChildren()
        << " zombies, " << entriesOf("/proc/self/task") << " threads (" << threadsBefore << ")";
}

} // namespace
