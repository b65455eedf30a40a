// Small pieces the helper child programs share: plain C++ and POSIX.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include <time.h>
#include <unistd.h>

namespace childhelper {

// Unbuffered, so the reader sees exactly the order the helper wrote in.
inline void writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno != EINTR)
            std::_Exit(3);
        if (n > 0)
            bytes.remove_prefix(std::size_t(n));
    }
}

inline void sleepMs(long ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

inline long toLong(const char *s, long fallback)
{
    char *end = nullptr;
    const long v = std::strtol(s, &end, 10);
    return (end && *end == '\0' && end != s) ? v : fallback;
}

} // namespace childhelper
