#include "printerlink.h"



#include <fcntl.h>
#include <linux/openat2.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

namespace kvbackend {

volatile std::sig_atomic_t g_cancelled = 0;

Timing g_timing;

void say(const std::string &line) { std::cerr << visible(line) << std::endl; }

long seconds(milliseconds d) { return static_cast<long>((d.count() + 999) / 1000); }

std::string describe(const PrinterStatus &s)
{
    if (s.paperEnd)
        return "The receipt printer is out of paper.";
    if (s.coverOpen)
        return "The receipt printer's cover is open.";
    if (s.error)
        return "The receipt printer reports an error.";
    return "The receipt printer is offline.";
}

namespace {

// Opens a printer's device: never through a symbolic link (the backend runs
// as lp, and a link under /dev/shm could point anywhere lp may write), and
// only a character device. `fatal` when no wait can make it right.
int openDevice(const std::string &path, std::string &error, bool &fatal)
{
    open_how how{};
    how.flags = O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;
    how.resolve = RESOLVE_NO_SYMLINKS;
    int fd = static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
    if (fd < 0 && errno == ENOSYS) {
        // A kernel before 5.6: each component checked, the last one not followed.
        std::string prefix;
        for (const auto &part : std::filesystem::path(path).relative_path()) {
            prefix += '/';
            prefix += part.string();
            struct stat st {};
            if (::lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                errno = ELOOP;
                break;
            }
        }
        if (errno != ELOOP)
            fd = ::open(path.c_str(), static_cast<int>(how.flags));
    }
    fatal = false;
    if (fd < 0) {
        fatal = errno == ELOOP || errno == EISDIR;
        error = errno == ENOENT ? "there is no device " + path + " (is the printer plugged in and on?)"
                : errno == ELOOP ? path + " leads through a symbolic link: name the printer's device itself"
                : errno == EISDIR ? path + " is a directory, not a printer's device"
                                  : path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        ::close(fd);
        fatal = true;
        error = path + " is not a character device (a printer's is, such as /dev/usb/lp0)";
        return -1;
    }
    return fd;
}

} // namespace

int connectTo(const DeviceUri &uri, std::string &error, bool &fatal)
{
    fatal = false;
    if (!uri.device.empty())
        return openDevice(uri.device, error, fatal);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string port = std::to_string(uri.port);
    if (const int rc = ::getaddrinfo(uri.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL
                    ? "the printer's address \"" + uri.host + "\" is not known (" + ::gai_strerror(rc) + ")"
                    : uri.host + ": " + (rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0 && !g_cancelled; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = uri.host + ": " + std::strerror(errno);
            continue;
        }
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc < 0 && errno == EINPROGRESS) {
            // A signal cuts the wait short; it goes on for the time left.
            const auto until = Clock::now() + g_timing.connect;
            int soError = ETIMEDOUT;
            while (!g_cancelled) {
                const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
                if (left.count() <= 0)
                    break;
                pollfd p{fd, POLLOUT, 0};
                const int n = ::poll(&p, 1, static_cast<int>(left.count()));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n > 0) {
                    socklen_t len = sizeof soError;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
                        soError = errno;
                } else if (n < 0) {
                    soError = errno;
                }
                break;
            }
            errno = g_cancelled ? ECANCELED : soError;
            rc = soError == 0 && !g_cancelled ? 0 : -1;
        }
        if (rc < 0) {
            error = uri.host + ":" + port + ": " + std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd >= 0) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // The kernel tells a printer that is gone (switched off without a
        // word) from one that holds the connection with its buffer full: a
        // live one acknowledges the keepalive and zero-window probes.
        const unsigned userTimeout = static_cast<unsigned>(g_timing.progress.count());
        const int probeEvery = static_cast<int>(std::max<long>(1, seconds(g_timing.progress) / 3)), probes = 3;
        ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &probeEvery, sizeof probeEvery);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &probeEvery, sizeof probeEvery);
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    }
    return fd;
}

void pause(milliseconds d)
{
    const auto until = Clock::now() + d;
    while (!g_cancelled && Clock::now() < until)
        std::this_thread::sleep_for(std::min<Clock::duration>(milliseconds(50), until - Clock::now()));
}

} // namespace kvbackend
