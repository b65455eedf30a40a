// Child processes with real children (the helper programs, small shell
// scripts, copies of this test program standing in for launcher copies):
// running them, finding another launcher, choosing what to end by name.
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

#include <chrono>
#include <csignal>
#include <limits>
#include <list>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using kv::clsProcess;
using Fake = kv::platform::FakeProcessTable;

namespace {

constexpr char kHoldFlag[] = "--kv-hold-for-lookup";

// Started with kHoldFlag, this program is only a second running copy of
// itself: it says so and waits to be killed (a minute at most).
const bool kHeld = [] {
    QFile cmdline(QStringLiteral("/proc/self/cmdline"));
    if (!cmdline.open(QIODevice::ReadOnly) || !cmdline.readAll().split('\0').contains(kHoldFlag))
        return false;
    if (::write(1, "held\n", 5) < 0)
        ::_exit(2);
    ::sleep(60);
    ::_exit(0);
}();

QString quoted(const QString &path) { return QLatin1Char('"') + path + QLatin1Char('"'); }
QString ownExecutable() { return QFile::symLinkTarget(QStringLiteral("/proc/self/exe")); }
const QString kEcho = quoted(QString::fromUtf8(childhelpers::kv_child_echo));
const QString kExitAfter = QString::fromUtf8(childhelpers::kv_child_exit_after);

// Waits on real time, up to 20 seconds, until `done` holds.
template <typename Pred>
bool within(Pred done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return done();
}

// Polls like the main tick, without its one-second pause.
template <typename Pred>
bool pollUntil(clsProcess &p, Pred done)
{
    return within([&] { return p.getOutput(), done(); });
}
bool runToEnd(clsProcess &p) { return pollUntil(p, [&] { return !p.pReady; }); }

int entriesOf(const char *dir)
{
    return int(QDir(QString::fromLatin1(dir)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// Whether a child of this process ended and was never collected (it stays so).
bool zombieChild()
{
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

class Processes : public ::testing::Test {
protected:
    testsupport::TempAppDir dir;
    testsupport::ScriptedPrompter prompter;
    clsProcess p{prompter};
    std::list<clsProcess> others;

    ~Processes() override
    {
        p.killProcess();
        for (clsProcess &o : others)
            o.killProcess();
    }

    // "/bin/sh SCRIPT ARGS", the script written to the test's directory.
    QString script(const QString &name, const QByteArray &body, const QString &args = {})
    {
        dir.write(name, body);
        return QStringLiteral("/bin/sh ") + quoted(dir.file(name)) + QLatin1Char(' ') + args;
    }

    // Another runner, polled until its child has said `word`.
    clsProcess &start(const QString &commandLine, const QString &word)
    {
        clsProcess &o = others.emplace_back(prompter);
        o.Init(commandLine, dir.path(), true, true, true);
        EXPECT_TRUE(pollUntil(o, [&] { return o.outText.contains(word); })) << commandLine.toStdString();
        return o;
    }
};

TEST_F(Processes, CapturesTheChosenStreamsWithoutAShellAndGivesOnlyStandardDescriptorsAndAnIgnoredSigpipe)
{
    const QString cmd = kEcho + " out:one err:two cwd $HOME \"a;b\" |x";
    const struct { bool out, err; QString text; } cases[] = {
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

    // A descriptor opened without close-on-exec, or another child's pipe,
    // would keep a pipe open after its program ended; a program that outlives
    // the launcher must not die at its next line of output, so SIGPIPE
    // reaches children ignored.
    const int leaky = ::open("/dev/null", O_RDONLY);
    start(quoted(kExitAfter) + " 20000", QStringLiteral("running"));
    const QString shell = QStringLiteral("/bin/sh -c \"cat; ls /proc/$$/fd; grep ^SigIgn: /proc/$$/status\"");
    p.Init(shell, dir.path(), true, true, true);
    ASSERT_TRUE(runToEnd(p));
    ::close(leaky);
    ASSERT_TRUE(p.outText.startsWith("0\n1\n2\nSigIgn:")) << p.outText.toStdString();
    EXPECT_TRUE(p.outText.mid(13).trimmed().toULongLong(nullptr, 16) & (1ULL << (SIGPIPE - 1)));
}

TEST_F(Processes, DecodesUtf8ExactlyAcrossReadsAndKeepsTheNewestText)
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
        QFile(go).open(QIODevice::WriteOnly);
        ASSERT_TRUE(runToEnd(p));
        EXPECT_TRUE(p.outText == c.all) << p.outText.size() << " chars: " << p.outText.left(8).toStdString();
    }
}

// A till runs for weeks: no run may leave a zombie, a descriptor or a thread.
TEST_F(Processes, RunsLeaveNoZombieNoDescriptorAndNoThread)
{
    const QString fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
    // A front-end restarted while what it started lives on with its output; a child that closes its
    // output long before it ends; one killed; one that runs to its end.
    const QString runs[] = {script("hold.sh", "(read x < \"$1\"; echo gone) &\necho up\n", quoted(fifo)),
                            script("close.sh", "printf hi; exec >&- 2>&-; sleep 0.3\n"),
                            quoted(kExitAfter) + " 30000", kEcho + " x"};
    int fdsBefore = 0, threadsBefore = 0;
    for (int i = -2; i < 200; ++i) {
        if (i == 0) { // after the first abandoned pipe and the collecting thread
            fdsBefore = entriesOf("/proc/self/fd");
            threadsBefore = entriesOf("/proc/self/task");
        }
        const int kind = i < 0 ? 0 : i % 4;
        p.Init(runs[kind], dir.path(), true, true, true);
        ASSERT_TRUE(p.pReady);
        if (kind == 0) {
            ASSERT_TRUE(pollUntil(p, [&] { return p.outText == "up\n"; }));
            p.pReady = false;
        } else if (kind == 2) {
            p.killProcess();
        } else {
            ASSERT_TRUE(runToEnd(p));
        }
    }
    p.killProcess();
    EXPECT_LE(entriesOf("/proc/self/task"), threadsBefore + 1) << "a thread for each pipe let go of";
    // Let every grandchild go: they wake on a writer, and end at its close.
    const int release = ::open(fifo.toUtf8().constData(), O_RDWR | O_NONBLOCK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::close(release);
    EXPECT_TRUE(within([&] {
        return entriesOf("/proc/self/fd") <= fdsBefore && !zombieChild() &&
               entriesOf("/proc/self/task") <= threadsBefore;
    })) << entriesOf("/proc/self/fd") << " descriptors, a zombie: " << zombieChild() << ", "
        << entriesOf("/proc/self/task") << " threads";
}

TEST_F(Processes, FindsAnotherLauncherOfTheSameFileNeverItselfAndAcrossAnUpdate)
{
    ASSERT_FALSE(kHeld);
    auto &table = kv::platform::systemProcessTable();
    const auto held = [&](const QString &file) { return &start(quoted(file) + " " + kHoldFlag, "held"); };
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), -1);
    clsProcess *first = held(ownExecutable());
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), first->processId());
    first->killProcess();
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), -1);

    // A copy elsewhere is another program.
    ASSERT_TRUE(QFile::copy(ownExecutable(), dir.file("copy")));
    held(dir.file("copy"));
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), -1);

    // The old copy's view: its own file was replaced under it.
    Fake old(900, "/opt/kv/korvantis-launcher (deleted)");
    old.add({500, "/opt/kv/korvantis-launcher", {}, true});
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(old), 500);
}

TEST(vbKill, MatchesByNameSparesOtherUsersAndItselfAndNeverSignalsAPidBelowOne)
{
    using V = std::vector<std::string>;
    const struct { const char *exe; V args; const char *image; bool runs; } cases[] = {
        {"/opt/pos/blipnote", {}, "blipnote.exe", true},
        {"/opt/pos/blipnote (deleted)", {}, "blipnote", true},
        {"/opt/pos/blipnote", {}, "Blipnote.exe", false},
        {"/opt/pos/blipnotes", {}, "blipnote", false},
        {"/usr/bin/dash", {"/bin/sh", "-e", "/opt/pos/tallyward"}, "tallyward.exe", true},
        {"/usr/bin/python3.11", {"python3", "-u", "/x/tallyward.py"}, "tallyward.py", true},
        // Code given on the command line is no script, whatever it mentions.
        {"/usr/bin/dash", {"sh", "-c", "tallyward"}, "tallyward", false},
        {"/usr/bin/python3.11", {"python3", "-m", "tallyward"}, "tallyward", false},
        // Only interpreters run scripts: another program's argument is data.
        {"/usr/bin/less", {"less", "/x/tallyward"}, "tallyward", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kv::vbKill::runsImage(c.exe, c.args, QString::fromUtf8(c.image)), c.runs) << c.exe;

    Fake table(500, "/opt/kv/blipnote");
    table.add({600, "/opt/kv/blipnote", {"blipnote"}, false});
    table.add({700, "/opt/kv/blipnote", {"blipnote"}, true});
    table.add({800, "/usr/bin/dash", {"sh", "/opt/kv/tally.sh"}, true});
    EXPECT_EQ(kv::vbKill::killImage(table, ""), 0);
    EXPECT_EQ(kv::vbKill::killImage(table, "blipnote.exe"), 1);
    EXPECT_EQ(kv::vbKill::killImage(table, "tally.sh"), 1);
    EXPECT_EQ(table.terminateCalls(), (std::vector<int>{700, 800}));

    // kill(2) reads 0, -1 and -N as process groups or everything (as root:
    // all of it), so the system table's kill call is replaced here.
    std::vector<std::pair<int, int>> sent;
    const auto posix = kv::platform::systemProcessTableSendingThrough([&](int pid, int signal) {
        sent.emplace_back(pid, signal);
        return pid == 4242 ? 0 : -1;
    });
    for (const int pid : {0, -1, -4242, std::numeric_limits<int>::min()})
        EXPECT_FALSE(posix->terminate(pid) || kv::vbKill::terminateProcessById(table, pid)) << pid;
    EXPECT_EQ(table.terminateCalls().size(), 2u) << "a pid below 1 reached the table";
    EXPECT_TRUE(posix->terminate(4242) && !posix->terminate(4243));
    EXPECT_EQ(sent, (std::vector<std::pair<int, int>>{{4242, SIGKILL}, {4243, SIGKILL}}));
}

// The real table's view: executables and the scripts an interpreter runs,
// read from /proc.
TEST_F(Processes, KillImageEndsThisUsersRunningCopiesAndScriptsOnly)
{
    auto &table = kv::platform::systemProcessTable();
    // Names of this run's own: ending by name reaches every process of the user.
    const QString tag = QStringLiteral("kvk%1").arg(::getpid());
    for (const QString &name : {tag + "blip", tag + "other"})
        ASSERT_TRUE(QFile::copy(kExitAfter, dir.file(name)));
    const QString fifo = dir.file("never");
    ASSERT_EQ(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
    dir.write(tag + "tally.sh", ("echo up\nread x < '" + fifo + "'\n").toUtf8());

    const QString blip = quoted(dir.file(tag + "blip")) + " 30000";
    clsProcess *ended[] = {&start(blip, "running"), &start(blip, "running"),
                           &start("/bin/sh " + quoted(dir.file(tag + "tally.sh")), "up")};
    clsProcess &bystander = start(quoted(dir.file(tag + "other")) + " 30000", "running");
    EXPECT_EQ(kv::vbKill::killImage(table, ""), 0);
    EXPECT_EQ(kv::vbKill::killImage(table, tag + "blip.exe"), 2);
    EXPECT_EQ(kv::vbKill::killImage(table, tag + "tally.sh"), 1);
    for (clsProcess *e : ended)
        EXPECT_TRUE(runToEnd(*e));
    EXPECT_EQ(bystander.getOutput(), "");
    EXPECT_TRUE(bystander.pReady);
}

} // namespace
