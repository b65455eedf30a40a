// Child processes with real children (the helper programs, small shell
// scripts, copies of this test program standing in for launcher copies):
// running them, finding another launcher, choosing what to end by name. Then
// the station's programs with real children, a fake clock and the real
// database; the program manager's edits and Add in managedprogram, and a
// server gone.
#include "programs/clsProcess.h"
#include "programs/vbKill.h"
#include "programs/vbOtherInstance.h"
#include "programs/vbRunScript.h"
#include "platform/fakes/process_fake.h"

#include "station/odbc.h"

#include "form1station.h"
#include "../../bench/tcpproxy.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <chrono>
#include <csignal>
#include <limits>
#include <list>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using form1test::kEcho;
using form1test::kExitAfter;
using form1test::rowOf;
using form1test::rows;
using kv::ManagedProgram;
using kv::Outcome;
using kv::clsProcess;
using Fake = kv::platform::FakeProcessTable;

namespace {

QString quoted(const QString &path) { return QLatin1Char('"') + path + QLatin1Char('"'); }

// Waits on real time, up to 20 seconds, until `done` holds.
bool within(const std::function<bool()> &done) { return testenv::pollUntil(done, std::chrono::seconds(20)); }

// Polls like the main tick, without its one-second pause.
bool pollUntil(clsProcess &p, const std::function<bool()> &done)
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

TEST_F(Processes, CapturesBothStreamsWithoutAShellAndGivesOnlyStandardDescriptorsAndAnIgnoredSigpipe)
{
    // Every program the launcher runs has both its streams captured.
    p.Init(quoted(kEcho) + " out:one err:two cwd $HOME \"a;b\" |x", dir.appPath(), true, true, true);
    ASSERT_TRUE(runToEnd(p));
    EXPECT_EQ(p.outText, "one\ntwo\n" + dir.path() + "\n$HOME\na;b\n|x\n");

    // A descriptor opened without close-on-exec (a database driver's socket, another child's pipe) would
    // keep a pipe open after its program ended; a program that outlives the launcher must not die at its next
    // line of output, so SIGPIPE reaches children ignored.
    const int leaky = ::open("/dev/null", O_RDONLY);
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
                            quoted(kExitAfter) + " 30000", quoted(kEcho) + " x"};
    int fdsBefore = 0, threadsBefore = 0;
    for (int i = -2; i < 40; ++i) {
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
    // Let every grandchild go: a writer's open wakes each, though it closes at once, and each then reads the end.
    ::close(::open(fifo.toUtf8().constData(), O_RDWR | O_NONBLOCK));
    EXPECT_TRUE(within([&] {
        return entriesOf("/proc/self/fd") <= fdsBefore && !zombieChild() &&
               entriesOf("/proc/self/task") <= threadsBefore;
    })) << entriesOf("/proc/self/fd") << " descriptors, a zombie: " << zombieChild() << ", "
        << entriesOf("/proc/self/task") << " threads";
}

// The real table's view, read from /proc: another launcher is a process of this very file; ending by name
// reaches executables and the scripts an interpreter runs.
TEST_F(Processes, FindsAnotherLauncherByItsWholePathAndEndsThisUsersCopiesAndScriptsByName)
{
    auto &table = kv::platform::systemProcessTable();
    // A file of the same name elsewhere is another program, also to the first look, which reads every process.
    const QString elsewhere = dir.file(QFileInfo(QFile::symLinkTarget("/proc/self/exe")).fileName());
    ASSERT_TRUE(QFile::copy(kExitAfter, elsewhere));
    clsProcess &bystander = start(quoted(elsewhere) + " 30000", "running");
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), -1);
    // A fork runs on in this very file: a second copy, until it is killed (a minute at most).
    const pid_t copy = ::fork();
    if (copy == 0) {
        ::sleep(60);
        ::_exit(0);
    }
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), copy);
    ::kill(copy, SIGKILL);
    ::waitpid(copy, nullptr, 0);
    EXPECT_EQ(kv::vbOtherInstance::findOtherInstance(table), -1);

    // Names of this run's own: ending by name reaches every process of the user.
    const QString tag = QStringLiteral("kvk%1").arg(::getpid());
    ASSERT_TRUE(QFile::copy(kExitAfter, dir.file(tag + "blip")));
    const QString fifo = dir.file("never");
    ASSERT_EQ(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
    dir.write(tag + "tally.sh", ("echo up\nread x < '" + fifo + "'\n").toUtf8());
    const QString blip = quoted(dir.file(tag + "blip")) + " 30000";
    clsProcess *ended[] = {&start(blip, "running"), &start(blip, "running"),
                           &start("/bin/sh " + quoted(dir.file(tag + "tally.sh")), "up")};
    EXPECT_EQ(kv::vbKill::killImage(table, tag + "blip.exe"), 2);
    EXPECT_EQ(kv::vbKill::killImage(table, tag + "tally.sh"), 1);
    for (clsProcess *e : ended)
        EXPECT_TRUE(runToEnd(*e));
    EXPECT_EQ(bystander.getOutput(), "");
    EXPECT_TRUE(bystander.pReady);

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

    // Another user's copy, and the caller itself, which the real table's case cannot show.
    Fake table(500, "/opt/kv/blipnote");
    table.add({600, "/opt/kv/blipnote", {"blipnote"}, false});
    table.add({700, "/opt/kv/blipnote", {"blipnote"}, true});
    EXPECT_EQ(kv::vbKill::killImage(table, "blipnote.exe"), 1);
    EXPECT_EQ(table.terminateCalls(), std::vector<int>{700});

    // kill(2) reads 0, -1 and -N as process groups or everything (as root:
    // all of it), so the system table's kill call is replaced here.
    std::vector<std::pair<int, int>> sent;
    const auto posix = kv::platform::systemProcessTableSendingThrough([&](int pid, int signal) {
        sent.emplace_back(pid, signal);
        return pid == 4242 ? 0 : -1;
    });
    for (const int pid : {0, -1, -4242, std::numeric_limits<int>::min()})
        EXPECT_FALSE(posix->terminate(pid) || kv::vbKill::terminateProcessById(table, pid)) << pid;
    EXPECT_EQ(table.terminateCalls().size(), 1u) << "a pid below 1 reached the table";
    EXPECT_TRUE(posix->terminate(4242) && !posix->terminate(4243));
    EXPECT_EQ(sent, (std::vector<std::pair<int, int>>{{4242, SIGKILL}, {4243, SIGKILL}}));
}

// The front-end an earlier launcher left running in /opt/kv, as this
// launcher (pid 100, started at 5000) sees the process table.
TEST(EarlierFrontEnd, TakesThisUsersEarlierRunScriptElseItsLoneFrontEndNeverItsOwnOrALaterOne)
{
    using V = std::vector<std::string>;
    const auto sh = [](int pid, const char *script, int parent = 1, std::uint64_t start = 4000, bool mine = true) {
        return Fake::Process{pid, "/usr/bin/dash", V{"/bin/sh", script, "-v", "stationid=3"}, mine, parent, start,
                             "/opt/kv"};
    };
    const Fake::Process run = sh(200, "/opt/kv/run.sh");
    const Fake::Process front{201, "/opt/kv/korvantis.exe", {"./korvantis.exe"}, true, 200, 4001, "/opt/kv"};
    const Fake::Process lone{220, "/opt/kv/korvantis.exe", {"./korvantis.exe"}, true, 1, 4001, "/opt/kv"};
    const struct {
        const char *what;
        std::vector<Fake::Process> processes;
        int taken; // 0: none
        int others = 0;
        const char *frontEnd = "korvantis.exe";
    } cases[] = {
        {"run.sh with its front-end", {front, run}, 200},
        {"the front-end whose run.sh was ended", {lone}, 220},
        {"a front-end script run.sh started, named relative to its directory", {sh(202, "./korvantis.exe")}, 202},
        {"the name typed with a wildcard", {lone}, 220, 0, "korv*.exe"},
        {"the oldest of several; the others counted, a front-end under its run.sh not",
         {run, front, sh(210, "/opt/kv/run.sh", 1, 3000), lone}, 210, 2},
        {"this launcher's own child", {sh(200, "/opt/kv/run.sh", 100)}, 0},
        {"started after this launcher", {sh(200, "/opt/kv/run.sh", 1, 6000)}, 0},
        {"another user's", {sh(200, "/opt/kv/run.sh", 1, 4000, false)}, 0},
        {"another directory's", {sh(200, "/opt/other/run.sh"), sh(201, "/opt/kv/other.sh")}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Fake table(100, "/opt/kv/korvantis-launcher", 5000);
        for (const Fake::Process &p : c.processes)
            table.add(p);
        const auto found = kv::vbOtherInstance::findEarlierFrontEnd(table, "/opt/kv/", "run.sh", c.frontEnd);
        EXPECT_EQ(found ? found->pid : 0, c.taken);
        EXPECT_EQ(found ? found->others : 0, c.others);
    }
}

// A process the launcher did not start, followed by its start through the
// system's table: running until it ends, also when nobody collects it (the
// front-end of a launcher that is gone belongs to whoever adopted it).
TEST_F(Processes, FollowsAProcessItDidNotStartUntilItEndsUncollectedAndReadsOriginsPastOddNames)
{
    auto &table = kv::platform::systemProcessTable();
    // The kernel puts the program's name in parentheses in /proc/PID/stat.
    // Its grandchild's parent turns into sleep, which never collects it.
    const QString odd = QStringLiteral("kv) 1 (2");
    dir.write(odd, "#!/bin/sh\nsh -c 'sleep 1 & echo \"child $! of $$ \"; exec sleep 30'\n");
    QFile::setPermissions(dir.file(odd), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    clsProcess &parent = start(quoted(dir.file(odd)), " of ");
    const auto origin = table.originOf(parent.processId());
    ASSERT_TRUE(origin);
    EXPECT_EQ(origin->parentPid, ::getpid());
    EXPECT_EQ(table.workingDirectoryOf(parent.processId()), dir.path().toStdString());

    const int pid = parent.outText.section(' ', 1, 1).toInt();
    const std::shared_ptr<void> sleeper(nullptr,
                                        [&](void *) { table.terminate(parent.outText.section(' ', 3, 3).toInt()); });
    const auto childOrigin = table.originOf(pid);
    ASSERT_TRUE(childOrigin);
    EXPECT_EQ(table.follow(pid, childOrigin->startTime + 1), nullptr) << "another start is another process";
    clsProcess &adopted = others.emplace_back(prompter);
    ASSERT_TRUE(adopted.adopt(table.follow(pid, childOrigin->startTime)));
    EXPECT_EQ(adopted.processId(), pid);
    EXPECT_TRUE(adopted.pReady);
    EXPECT_TRUE(runToEnd(adopted));
    EXPECT_FALSE(table.originOf(pid)) << "an ended process is no longer there";
}

class Programs : public ::testing::Test, protected form1test::Station {
protected:
    void SetUp() override
    {
        // For loading: a front-end that says what it was given and fails;
        // run.sh prints its end marker all the same.
        program("dralfrontend.exe", "#!/bin/sh\nprintf 'front:%s|' \"$@\"\nexit 3\n");
    }

    // An executable shell script in the application directory.
    QString program(const QString &name, const QByteArray &body)
    {
        dir.write(name, body);
        QFile::setPermissions(dir.file(name), QFile::permissions(dir.file(name)) | QFileDevice::ExeOwner);
        return dir.file(name);
    }

    // Supervision passes on real time, the fake clock standing still, until
    // `done` holds.
    bool passUntil(const std::function<bool()> &done)
    {
        return within([&] { return mp.superviseManagedPrograms(), done(); });
    }

    bool running(int index) { return mp.runnerOf(mp.managedPrograms.at(std::size_t(index))).pReady; }
    const QString &output(int i) { return mp.runnerOf(mp.managedPrograms.at(std::size_t(i))).outText; }

    // "name|path|arguments|" and the flags as 0/1: run on start, restart,
    // running, awaiting a restart; then the failure count.
    QString summary(int index)
    {
        const ManagedProgram &e = mp.managedPrograms.at(std::size_t(index));
        return QStringLiteral("%1|%2|%3|").arg(e.name, e.path, e.arguments) +
               QString::asprintf("%d%d%d%d %d", e.runOnStart, e.restartOnFailure, running(index),
                                 e.awaitingRestart, int(e.failureCount));
    }

    static void insert(const QString &values)
    {
        testenv::psql("INSERT INTO managedprogram (name, path, executable, arguments, runonstart, "
                      "restartonfailure, machineid) VALUES " + values.toStdString());
    }
};

// An end is logged with how the program ended, also when a process it
// started kept its output open after it had gone; the program restarts on
// the first pass at least eleven whole seconds after its end.
TEST_F(Programs, AnEndIsLoggedAsItCameAndRestartsOnTheFirstPassElevenWholeSecondsLater)
{
    // The first end falls just before midnight, its restart just after.
    clock.setNow(QDateTime(QDate(2026, 12, 5), QTime(23, 58, 50)));
    const struct {
        const char *body, *how;
    } cases[] = {
        {"kill -SEGV $$", "ended by signal 11 (SIGSEGV)"},
        {"(sleep 0.3; echo late) &\nexit 4", "exited with status 4"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        mp.managedPrograms.clear();
        add("P", program("p.sh", QByteArray("#!/bin/sh\n") + c.body + "\n"), QString(), false, true);
        ASSERT_TRUE(mp.startProgram(0));
        // However long the child ran, the pass that finds it ended only records.
        clock.advanceMs(60'000);
        ASSERT_TRUE(passUntil([&] { return !running(0); }));
        EXPECT_TRUE(events.lines.last().contains(c.how)) << events.lines.last().toStdString();
        EXPECT_EQ(summary(0).section('|', 3), QStringLiteral("0101 1"));
        clock.advanceMs(10'999);
        mp.superviseManagedPrograms();
        EXPECT_EQ(summary(0).section('|', 3), QStringLiteral("0101 1")) << "restarted before 11 whole seconds";
        clock.advanceMs(1);
        mp.superviseManagedPrograms();
        EXPECT_EQ(summary(0).section('|', 3), QStringLiteral("0110 1")) << "a successful restart keeps the count";
        // The restarted child is a new run: it ends again and is counted again.
        ASSERT_TRUE(passUntil([&] { return !running(0); }));
        EXPECT_EQ(mp.managedPrograms[0].failureCount, 2);
    }
}

TEST_F(Programs, FrontEndFinishedByMarkerReopenedWithOnlyTheStationIdAndLeftRunningAtQuit)
{
    const QString front =
        program("front.sh", "#!/bin/sh\nprintf '%s|' \"$@\"\n"
                            "printf 'bye\\r\\n$$finished$$\\r\\n'\nexec sleep 30\n");
    add("Front", front, "row-arguments", false, false);
    EXPECT_TRUE(mp.frontEndFinished()) << "never started counts as finished";
    mp.reopenFrontEnd();
    EXPECT_FALSE(mp.frontEndFinished());
    ASSERT_TRUE(passUntil([&] { return mp.frontEndFinished(); }));
    EXPECT_TRUE(running(0));
    EXPECT_EQ(output(0), QStringLiteral("-v|stationid=41|bye\r\n$$finished$$\r\n"));

    add("Exit", kExitAfter, "60000", false, true);
    ASSERT_TRUE(mp.startProgram(1));
    mp.stopManagedPrograms();
    EXPECT_TRUE(running(0));
    EXPECT_FALSE(running(1));
    // Stopped on the way out is not an end to restart.
    clock.advanceMs(20'000);
    mp.superviseManagedPrograms();
    EXPECT_FALSE(running(1));
}

TEST_F(Programs, LastFrontEndRowAndOtherRowsInDatabaseOrderAndAFailedStartRetriedAfterEachDelay)
{
    const QString helpers = QFileInfo(kExitAfter).absolutePath() + QLatin1Char('/');
    insert("('Old till', '/nowhere', 'korvantis.exe', 'ignored', true, true, 41),"
           "('Reader', '" + helpers.chopped(1) + "', 'kv_child_exit_after', '60000', true, NULL, 41),"
           "('Idle', '', 'kv_child_echo', NULL, false, false, 41),"
           "('Till', '" + dir.path() + "', 'DralFrontEnd.EXE', '--kiosk \"two words\"', false, false, 41),"
           "('Scale', '" + helpers + "', 'kv_child_exit_after', '60000', NULL, true, 41),"
           "('Other station', '/x', 'kv_child_echo', '', true, true, 7),"
           "('Broken', '" + dir.path() + "', 'missing-program', '', true, true, 41)");
    // The station id goes into SQL as it is: only a whole number may reach the server. An id beyond what
    // the launcher holds is a clear error, not a wrapped number.
    for (const char *id : {"7 OR 1=1", "", "+41"}) {
        shellConf.stationid = QString::fromUtf8(id);
        EXPECT_THROW(mp.loadManagedPrograms(shellConf), kv::odbc::Error) << id;
        EXPECT_TRUE(mp.managedPrograms.empty()) << id;
    }
    shellConf.stationid = QStringLiteral("41");
    testenv::psql("INSERT INTO managedprogram (id, name, executable, machineid) VALUES (40000, 'Big', 'x', 41)");
    EXPECT_THROW(mp.loadManagedPrograms(shellConf), kv::odbc::Error);
    testenv::psql("DELETE FROM managedprogram WHERE id = 40000");
    const QString failed = "Failed to create process: \"" + dir.appPath() +
                           "missing-program\"  -v stationid=41 in " + dir.appPath() + ".";
    prompter.expectMessage(failed, kv::MsgButtons::OK, kv::MsgResult::OK);
    ASSERT_EQ(mp.loadManagedPrograms(shellConf), Outcome::Continue);
    prompter.verifyDone();
    ASSERT_EQ(mp.managedPrograms.size(), 5u);
    // The front-end runs through its script whatever its run-on-start says.
    EXPECT_EQ(summary(0), "Till|" + dir.appPath() + "|--kiosk \"two words\"|0010 0");
    // NULL restarts but does not run on start; an empty path is the application directory.
    EXPECT_EQ(summary(1), "Reader|" + helpers + "|60000|1110 0");
    EXPECT_EQ(summary(2), "Idle|" + dir.appPath() + "||0000 0");
    EXPECT_EQ(summary(3), "Scale|" + helpers + "|60000|0100 0");
    EXPECT_EQ(summary(4), "Broken|" + dir.appPath() + "||1101 1");
    ASSERT_TRUE(passUntil([&] { return !running(0); }));
    EXPECT_EQ(output(0), "front:--kiosk|front:two words|front:-v|front:stationid=41|$$finished$$\r\n");
    EXPECT_EQ(summary(0).section('|', 3), QStringLiteral("0000 0")) << "an end without restart is not counted";

    // A restart that fails again waits the whole delay once more.
    prompter.expectMessage(failed, kv::MsgButtons::OK, kv::MsgResult::OK, QString("Korvantis Launcher"),
                           kv::MsgIcon::Exclamation, true);
    clock.advanceMs(11'000);
    mp.superviseManagedPrograms();
    EXPECT_EQ(summary(4).section('|', 3), QStringLiteral("1101 2"));
    clock.advanceMs(10'000);
    mp.superviseManagedPrograms();
}

TEST_F(Programs, RunScriptNamesTheFrontEndFoundOrTypedReplacesTheOldScriptOrEndsTheLauncher)
{
    ASSERT_TRUE(QFile::remove(dir.file("dralfrontend.exe")) && QDir(dir.path()).mkdir("subdir"));
    const QString title = QStringLiteral("Korvantis Launcher");
    const QString ask = "What is the executable name for your Korvantis installation? (eg. korvantis.exe)";
    const QString notFound = "Your Korvantis executable could not be located. You need to edit run.sh to "
                             "configure Korvantis to run correctly.";
    const struct {
        const char *present, *typed, *line; // added to what earlier cases left; nullptr: none
    } cases[] = {
        {"till.exe", "*.exe", "./*.exe \"$@\""}, // a typed wildcard counts as found
        {"pos-client", "pos-client", "./pos-client \"$@\""},
        {".hidden.exe", "", nullptr}, // cancelled
        {nullptr, "missing.exe", nullptr},
        {nullptr, "subdir", nullptr},
        {nullptr, ".hidden.exe", nullptr},
        {"korvantis.exe", nullptr, "./korvantis.exe \"$@\""},
        {"dralfrontend.exe", nullptr, "./dralfrontend.exe \"$@\""}, // wins over korvantis.exe
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed ? c.typed : c.line);
        dir.write("run.sh", QByteArray(200, '#') + "\nhand edited, longer than the new script\n");
        if (c.present)
            program(c.present, "#!/bin/sh\n");
        if (c.typed)
            prompter.expectInput(ask, c.typed, title);
        if (!c.line)
            prompter.expectMessage(notFound, kv::MsgButtons::OK, kv::MsgResult::OK, title,
                                   kv::MsgIcon::Exclamation, true);
        EXPECT_EQ(kv::runscript::writeRunScript(ctx, prompter), Outcome::Continue);
        prompter.verifyDone();
        const QByteArray line = c.line ? c.line : "# Your Korvantis executable could not be located.";
        EXPECT_EQ(dir.read("run.sh"), "#!/bin/sh\n# Enter commands to run korvantis here\n" + line +
                                          "\n# End commands here\nprintf '%s\\r\\n' '$$finished$$'\n");
        EXPECT_TRUE(QFileInfo(dir.file("run.sh")).isExecutable());
    }

    // No rights to write it (a directory stands where it goes): loading ends the launcher. Without a
    // front-end row (and for a station id with a leading zero) the front-end slot holds the default.
    ASSERT_TRUE(QFile::remove(dir.file("run.sh")) && QDir(dir.path()).mkdir("run.sh"));
    prompter.expectMessage(
        "You do not have sufficient rights to create a run file. Please restart as Administrator.",
        kv::MsgButtons::OK, kv::MsgResult::OK, std::nullopt, kv::MsgIcon::Information, true);
    shellConf.stationid = QStringLiteral("041");
    EXPECT_EQ(mp.loadManagedPrograms(shellConf), Outcome::LauncherEnds);
    EXPECT_EQ(summary(0), "Korvantis|" + dir.appPath() + "||1000 0");
    EXPECT_EQ(mp.managedPrograms[0].id, 0);
}

// A launcher (a copy of this process) killed, which stops nothing, and another started, five times: each
// program runs once, the front-end taken over, the others as children of the last launcher; one that does
// not run on start only if it ran before with its own arguments. A file of the same name in another
// directory is another program, left alone.
TEST_F(Programs, AfterFiveLaunchersKilledInTurnEachProgramRunsOnce)
{
#if defined(__SANITIZE_THREAD__)
    // The launchers here are forks of this multi-threaded test, which start
    // threads of their own: ThreadSanitizer does not support that, and its
    // forked copies do not behave as launchers do. The plain and the
    // AddressSanitizer builds run it.
    GTEST_SKIP() << "forked copies of a multi-threaded process under ThreadSanitizer";
#endif
    auto &table = kv::platform::systemProcessTable();
    const QString tag = QStringLiteral("kvr%1").arg(::getpid()), in = "'" + dir.path() + "', '" + tag;
    ASSERT_TRUE(QFile::remove(dir.file("dralfrontend.exe")) && QFile::copy(kExitAfter, dir.file(tag + "front")) &&
                QFile::copy(kExitAfter, dir.file(tag + "reader")));
    insert("('Till', " + in + "korvantis.exe', '600000', false, false, 41), ('Reader', " + in +
           "reader', '600000', true, true, 41), ('By hand', " + in + "reader', '600001', false, true, 41), "
           "('Idle', " + in + "reader', '600002', false, true, 41)");
    int launcher = 0;
    const auto killLauncher = [&] {
        if (launcher > 0 && ::kill(launcher, SIGKILL) == 0)
            ::waitpid(launcher, nullptr, 0);
    };
    const auto cleanUp = qScopeGuard([&] {
        killLauncher();
        for (const char *name : {"front", "reader"})
            kv::vbKill::killImage(table, tag + name);
    });
    clsProcess byHand{prompter}, namesake{prompter};
    byHand.Init(quoted(dir.file(tag + "reader")) + " 600001 -v stationid=41", dir.path(), true, true, true);
    ASSERT_TRUE(QDir(dir.path()).mkdir("elsewhere"));
    ASSERT_TRUE(QFile::copy(kExitAfter, dir.file("elsewhere/" + tag + "reader")));
    namesake.Init(quoted(dir.file("elsewhere/" + tag + "reader")) + " 600000 -v stationid=41", dir.path(), true, true,
                  true);
    for (int restart = 0; restart <= 5; ++restart) {
        killLauncher();
        if ((launcher = ::fork()) == 0) {
            prompter.expectInput(QStringLiteral("What is the executable name for your Korvantis installation? "
                                                "(eg. korvantis.exe)"), tag + "front");
            try {
                if (mp.loadManagedPrograms(shellConf) == Outcome::Continue)
                    ::raise(SIGSTOP); // loaded: it waits to be killed
            } catch (...) {
            }
            ::_exit(1);
        }
        siginfo_t loaded{};
        ASSERT_TRUE(::waitid(P_PID, id_t(launcher), &loaded, WEXITED | WSTOPPED | WNOWAIT) == 0 &&
                    loaded.si_code == CLD_STOPPED) << "launcher " << restart;
    }
    // Counted apart from the launcher's own lookup: by executable, as another launcher is found.
    const auto copies = [&](const QString &name) {
        return table.processesRunning(QFileInfo(dir.file(name)).canonicalFilePath().toStdString());
    };
    EXPECT_EQ(copies(tag + "front").size(), 1u);
    const std::vector<int> readers = copies(tag + "reader");
    EXPECT_EQ(readers.size(), 2u);
    for (const int pid : readers)
        EXPECT_EQ(table.originOf(pid).value_or(kv::platform::ProcessOrigin{}).parentPid, launcher);
    EXPECT_TRUE(table.originOf(namesake.processId())) << "a namesake in another directory was ended";
}

class Form1Test : public Programs {
protected:
    const kv::Form1Controls &ui = form.controls();

    void SetUp() override
    {
        standardStation();
        form.Form_Load();
        settle();
    }

    // The jobs ran at their hand-over: two ticks take their findings and
    // hand over, and take, what was edited meanwhile.
    void settle()
    {
        form.tick();
        form.tick();
    }
};

// Each step may write the selected row and no other; what it writes is the
// entry as it stands, whatever the row held before ("elsewhere", which no
// entry holds).
TEST_F(Form1Test, SelectingAndEditingWriteTheSelectedRowAsTypedAndNoOtherRow)
{
    testenv::psql("UPDATE managedprogram SET arguments = 'elsewhere'");
    auto expected = rows();
    const auto onlyRowOneWritten = [&] {
        settle();
        expected[id(1)] = rowOf(mp.managedPrograms[1]);
        EXPECT_EQ(rows(), expected);
    };
    form.lstPrograms_Click(1);
    onlyRowOneWritten();
    EXPECT_EQ(ui.txtWorking, mp.managedPrograms[1].path) << "no second slash";
    struct Case {
        void (kv::Form1::*handler)(const QString &);
        QString typed;
        QString kv::ManagedProgram::*field;
        QString stored;
    };
    const QString odd = QStringLiteral("C:\\Till\\it's \\'x\\' \\\\ ''");
    const Case cases[] = {
        {&kv::Form1::txtWorking_Change, "/opt/till", &kv::ManagedProgram::path, "/opt/till/"},
        {&kv::Form1::txtWorking_Change, "", &kv::ManagedProgram::path, ""},
        {&kv::Form1::txtWorking_Change, odd + "/", &kv::ManagedProgram::path, odd + "/"},
        {&kv::Form1::txtArgs_Change, odd, &kv::ManagedProgram::arguments, odd},
        {&kv::Form1::txtPPath_Change, odd, &kv::ManagedProgram::executable, odd},
        {&kv::Form1::txtPName_Change, "Tom's reader \\", &kv::ManagedProgram::name, "Tom's reader \\"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        (form.*c.handler)(c.typed);
        onlyRowOneWritten();
        EXPECT_EQ(mp.managedPrograms[1].*c.field, c.stored);
    }
    form.txtWorking_Change(QStringLiteral("/opt/x"));
    EXPECT_EQ(ui.txtWorking, QStringLiteral("/opt/x")) << "the box keeps what was typed";
    form.chkROS_Click(true);
    form.chkROF_Click(false);
    onlyRowOneWritten();
    EXPECT_TRUE(mp.managedPrograms[1].runOnStart && !mp.managedPrograms[1].restartOnFailure);
    EXPECT_TRUE(ui.status.isEmpty()) << ui.status.toStdString();
}

// The link goes just after the server took the new program's INSERT: the
// step is repeated on a fresh connection, and the program is there once.
TEST_F(Form1Test, AddAppendsANewProgramOnceThoughItsAnswerWasLostUnlessItsIdIsTooBig)
{
    // On a port of its own: the PgBouncer fixture listens at the cluster's
    // port on the proxy's address. Every connection made meanwhile, the
    // checks' too, passes through it; only the INSERT is cut.
    draldbtest::TcpProxy proxy(testenv::database().port, 0);
    const std::shared_ptr<void> routed = proxy.routeEnvironment();
    shellConf.db_host = QString::fromLatin1(draldbtest::TcpProxy::kHost);
    form.lstPrograms_Click(2);
    settle();
    ASSERT_TRUE(ui.status.isEmpty()) << ui.status.toStdString();
    auto before = rows();
    proxy.cutAfterClientSends("INSERT INTO managedprogram");
    form.cmdAdd_Click();
    settle();
    ASSERT_EQ(mp.managedPrograms.size(), 4u);
    const kv::ManagedProgram &added = mp.managedPrograms.back();
    before[added.id] = "New Program||||t|t|41"; // the table's defaults for the flags
    EXPECT_EQ(rows(), before) << "the program was added twice, or not at all";
    EXPECT_EQ(rowOf(added), before[added.id]);
    EXPECT_EQ(ui.lstPrograms.last(), QStringLiteral("New Program"));
    EXPECT_EQ(ui.selectedRow, 0);
    // Named, and run from the application directory once it has a file name.
    form.lstPrograms_Click(3);
    form.txtPName_Change(QStringLiteral("Scanner"));
    form.cmdRun_Click();
    EXPECT_TRUE(ui.lstPrograms.last() == "Scanner" && ui.status.contains("no File Name")) << ui.status.toStdString();
    ASSERT_TRUE(QFile::copy(kEcho, dir.file("kv_child_echo")));
    form.txtPPath_Change(QStringLiteral("kv_child_echo"));
    form.txtArgs_Change(QStringLiteral("cwd"));
    form.cmdRun_Click();
    ASSERT_TRUE(passUntil([&] { return !running(3); }));
    EXPECT_EQ(output(3), dir.path() + "\n-v\nstationid=41\n");
    settle();

    testenv::psql("SELECT setval('managedprogram_id_seq', 32767)");
    before = rows();
    const QString tooBig = "The program was not added: the database gave it the number 32768, and the "
                           "launcher can hold program numbers up to 32767 only. Ask your administrator to "
                           "renumber the programs.";
    prompter.expectMessage(tooBig, kv::MsgButtons::OK, kv::MsgResult::OK, QString("Korvantis Launcher"));
    form.cmdAdd_Click();
    settle();
    prompter.verifyDone();
    EXPECT_EQ(rows(), before);
    EXPECT_EQ(mp.managedPrograms.size(), 4u);
}

// A restart between two keystrokes goes unnoticed. An outage is reported
// once however long it lasts, and quitting during it names what is lost; an
// edit made during it reaches the server within seconds of its return, and
// every change is said saved only once no edit is pending.
TEST_F(Form1Test, AnOutageIsReportedOnceAndItsEditsReachTheServerWithinSecondsOfItsEnd)
{
    form.lstPrograms_Click(1);
    QStringList reports;
    form.setOnChanged([&] {
        if (reports.isEmpty() || reports.last() != ui.status)
            reports << ui.status;
    });
    form.txtArgs_Change(QStringLiteral("-"));
    settle();
    testenv::pgctl("restart");
    form.txtArgs_Change(QStringLiteral("--"));
    settle();
    EXPECT_EQ(rows().at(id(1)), rowOf(mp.managedPrograms[1]));
    EXPECT_TRUE(reports.isEmpty());

    std::optional<testenv::ClusterStopped> down(std::in_place);
    for (int minute = 1; minute <= 8; ++minute) {
        clock.advanceMs(60'000);
        form.txtArgs_Change(QString(minute + 2, u'-'));
        settle();
    }
    // However long the outage, the next try is never further off than the longest pause.
    clock.advanceMs(kv::Form1::kMaxRetryDelayMs);
    form.tick();
    EXPECT_TRUE(form.jobRunning()) << "the pause between tries grew past its cap";
    form.lstPrograms_Click(2);
    form.txtPName_Change(QStringLiteral("Scales"));
    settle();
    const QString notSaved = QStringLiteral("Changes not saved yet: ");
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].startsWith(notSaved)) << reports[0].toStdString();
    // Quitting now tries once more and names what is lost.
    const QString lost = "The changes to these programs could not be saved in the database:\r\n\r\nReader\r\n"
                         "Scales\r\n\r\n" + reports[0].mid(notSaved.size()) +
                         "\r\n\r\nPlease make them again in Manage Programs once the database answers.";
    prompter.expectMessage(lost, kv::MsgButtons::OK, kv::MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                           kv::MsgIcon::Exclamation, true);
    form.saveBeforeQuit(true);
    prompter.verifyDone();

    down.reset();
    form.tick();
    EXPECT_FALSE(form.jobRunning()) << "too soon after the last attempt";
    clock.advanceMs(kv::Form1::kMaxRetryDelayMs);
    form.tick();
    ASSERT_TRUE(form.jobRunning());
    form.txtArgs_Change(QStringLiteral("-late")); // typed while that write runs
    form.tick();
    EXPECT_TRUE(form.hasPending());
    EXPECT_EQ(reports.size(), 1) << "said saved while an edit is pending";
    form.tick();
    EXPECT_FALSE(form.hasPending());
    EXPECT_EQ(rows().at(id(1)), rowOf(mp.managedPrograms[1]));
    EXPECT_EQ(rows().at(id(2)), rowOf(mp.managedPrograms[2]));
    EXPECT_EQ(ui.status, QStringLiteral("The database answers again: every change is saved."));

    // Quitting right after a failed write does not wait out the pause.
    {
        testenv::ClusterStopped again;
        form.txtArgs_Change(QStringLiteral("--fast"));
        settle();
    }
    form.saveBeforeQuit(true);
    EXPECT_FALSE(form.hasPending());
}

} // namespace
