// A detached start that cannot happen says why instead of reporting a pid
// for a program that never ran.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(StartDetached, FailuresAreReportedWithTheSystemsReason)
{
    struct Case {
        const char *what;
        std::vector<std::string> argv;
        std::string dir;
        int code;
    };
    const Case cases[] = {
        {"no program", {}, "/", ENOENT},
        {"a relative path", {"sh", "-c", "true"}, "/", ENOENT},
        {"a missing program", {"/nonexistent/kvtupd", "a"}, "/", ENOENT},
        {"a directory as program", {"/tmp"}, "/", EACCES},
        {"a missing working directory", {"/bin/sh", "-c", "true"}, "/nonexistent/dir", ENOENT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kv::platform::SpawnError error;
        EXPECT_EQ(kv::platform::startDetached(c.argv, c.dir, error), -1);
        EXPECT_EQ(error.code, c.code);
        EXPECT_FALSE(error.description.empty());
    }
}

} // namespace
