// The POSIX child and process-table mechanics, with real children.
#include "platform/process.h"

#include "childhelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using kv::platform::Capture;
using kv::platform::Child;
using kv::platform::SpawnError;

namespace {

bool processExists(int pid)
{
    struct stat st;
    return ::stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0;
}

std::unique_ptr<Child> start(const std::vector<std::string> &argv, Capture capture = {true, true})
{
    SpawnError error;
    auto child = kv::platform::systemSpawner().spawn(argv, "", capture, error);
    EXPECT_TRUE(child) << argv.front() << ": " << error.description;
    return child;
}

// What the child writes until `text` has come or, without a text, until its
// pipe closes; a generous bound fails the test instead of hanging it.
std::string readFrom(Child &child, const std::string &text = {})
{
    std::string out;
    char buf[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (text.empty() || out.find(text) == std::string::npos) {
        std::size_t got = 0;
        const Child::ReadResult r = child.read(buf, sizeof buf, got);
        if (r == Child::ReadResult::Closed && text.empty())
            return out;
        if (r == Child::ReadResult::Closed || std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "waited in vain for " << (text.empty() ? "the end" : text) << "; got: " << out;
            return out;
        }
        out.append(buf, got);
        if (r == Child::ReadResult::Nothing)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return out;
}

} // namespace

TEST(SplitCommandLine, QuotesGroupAndAreDropped)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(kv::platform::splitCommandLine("\"/opt/k v/tallyward\"  -v stationid=3"),
              (V{"/opt/k v/tallyward", "-v", "stationid=3"}));
    EXPECT_EQ(kv::platform::splitCommandLine(" a\t\"\" b\"c d\"e "), (V{"a", "", "bc de"}));
    EXPECT_EQ(kv::platform::splitCommandLine("echo $HOME;ls|x"), (V{"echo", "$HOME;ls|x"}));
    EXPECT_TRUE(kv::platform::splitCommandLine("   ").empty());
}

TEST(ChildProcess, ChildGetsEmptyInputAndOnlyItsStandardDescriptors)
{
    auto cat = start({"/bin/cat"});
    EXPECT_EQ(readFrom(*cat), "");

    // A descriptor opened without close-on-exec, and another child's pipe.
    const int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    auto other = start({childhelpers::kv_child_ignore_term, "20000"});
    auto lister = start({"/bin/sh", "-c", "ls /proc/$$/fd"});
    EXPECT_EQ(readFrom(*lister), "0\n1\n2\n");
    ::close(leaky);
    EXPECT_TRUE(other->kill());
}

TEST(ChildProcess, WritingToAPipeNobodyReadsIsAnErrorNotAnEnd)
{
    // A program that outlives the launcher must not die at its next line of
    // output: SIGPIPE reaches children ignored, and the launcher ignores it.
    auto child = start({"/bin/sh", "-c", "grep '^SigIgn' /proc/$$/status"});
    const std::string line = readFrom(*child);
    ASSERT_EQ(line.rfind("SigIgn:", 0), 0u) << line;
    const unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
    EXPECT_TRUE(ignored & (1ULL << (SIGPIPE - 1))) << line;
    struct sigaction now {};
    ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
}

TEST(ChildProcess, KillEndsTheChildAndNeverSignalsAReapedOne)
{
    auto child = start({childhelpers::kv_child_ignore_term, "20000"});
    const int pid = child->pid();
    EXPECT_FALSE(child->reap());
    EXPECT_TRUE(child->kill());
    EXPECT_TRUE(child->reap());
    EXPECT_FALSE(processExists(pid)) << "killed child left as a zombie";
    // Once reaped, the number may belong to someone else: no signal.
    EXPECT_FALSE(child->kill());

    auto quick = start({childhelpers::kv_child_echo, "x"});
    EXPECT_EQ(readFrom(*quick), "x\n");
    EXPECT_TRUE(quick->reap());
    EXPECT_FALSE(quick->kill());
}

TEST(ChildProcess, AbandonedRunningChildGoesOnAndIsReapedWhenItEnds)
{
    // Writes after it has been let go of; a closed pipe would kill it then.
    auto child = start({childhelpers::kv_child_exit_after, "300"});
    const int pid = child->pid();
    child.reset();
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(processExists(pid)) << "dropping a runner must not end its child";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (processExists(pid) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(processExists(pid)) << "ended child was not reaped";
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(250))
        << "the child was ended instead of left to run";
}
