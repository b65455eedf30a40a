// Small pieces the helper child programs share. Plain C++ and POSIX: the
// helpers must behave like any foreign program the launcher starts.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace childhelper {

// One write(2) per call, unbuffered, so the reader sees exactly the order and
// the pieces the helper wrote.
inline void writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            std::_Exit(3);
        }
        bytes.remove_prefix(std::size_t(n));
    }
}

inline void sleepMs(long ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// Waits until `path` exists; gives up after `limitMs` so that a test that
// fails half-way never leaves a helper behind for long. True when it came.
inline bool waitForFile(const std::string &path, long limitMs = 60000)
{
    struct stat st;
    for (long waited = 0; waited < limitMs; waited += 5) {
        if (::stat(path.c_str(), &st) == 0)
            return true;
        sleepMs(5);
    }
    return false;
}

inline long toLong(const char *s, long fallback)
{
    char *end = nullptr;
    const long v = std::strtol(s, &end, 10);
    return (end && *end == '\0' && end != s) ? v : fallback;
}

} // namespace childhelper
