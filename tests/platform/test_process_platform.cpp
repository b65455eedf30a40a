// The POSIX child mechanics, with real children.
#include "platform/process.h"

#include "childhelpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

using kv::platform::Child;

namespace {

std::unique_ptr<Child> start(const std::vector<std::string> &argv)
{
    kv::platform::SpawnError error;
    auto child = kv::platform::systemSpawner().spawn(argv, "", {true, true}, error);
    EXPECT_TRUE(child) << argv.front() << ": " << error.description;
    return child;
}

// All the child writes until its pipe closes, within a bound.
std::string output(Child &child)
{
    std::string out;
    char buf[4096];
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < until;) {
        std::size_t got = 0;
        const Child::ReadResult r = child.read(buf, sizeof buf, got);
        if (r == Child::ReadResult::Closed)
            return out;
        out.append(buf, got);
        if (r == Child::ReadResult::Nothing)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ADD_FAILURE() << "no end of output; got: " << out;
    return out;
}

} // namespace

// A descriptor opened without close-on-exec, or another child's pipe, would
// keep a pipe open after its program ended.
TEST(ChildProcess, ChildGetsEmptyInputAndOnlyItsStandardDescriptors)
{
    auto cat = start({"/bin/cat"});
    EXPECT_EQ(output(*cat), "");
    const int leaky = ::open("/dev/null", O_RDONLY);
    auto other = start({childhelpers::kv_child_ignore_term, "20000"});
    EXPECT_EQ(output(*start({"/bin/sh", "-c", "ls /proc/$$/fd"})), "0\n1\n2\n");
    ::close(leaky);
    EXPECT_TRUE(other->kill());
}

// A program that outlives the launcher must not die at its next line of
// output: SIGPIPE reaches children ignored, and the launcher ignores it.
TEST(ChildProcess, WritingToAPipeNobodyReadsIsAnErrorNotAnEnd)
{
    const std::string line = output(*start({"/bin/sh", "-c", "grep '^SigIgn' /proc/$$/status"}));
    ASSERT_EQ(line.rfind("SigIgn:", 0), 0u) << line;
    EXPECT_TRUE(std::stoull(line.substr(7), nullptr, 16) & (1ULL << (SIGPIPE - 1))) << line;
    struct sigaction now {};
    ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
}
