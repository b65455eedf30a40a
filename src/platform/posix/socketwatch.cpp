#include "platform/socketwatch.h"

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>

namespace kv::platform {

namespace {

bool isConnectedStream(int fd)
{
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM)
        return false;
    sockaddr_storage peer{};
    socklen_t plen = sizeof peer;
    return getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &plen) == 0;
}

bool sameSocket(const SocketId &id)
{
    struct stat st {};
    return id.fd >= 0 && fstat(id.fd, &st) == 0 && S_ISSOCK(st.st_mode) && std::uint64_t(st.st_dev) == id.dev &&
           std::uint64_t(st.st_ino) == id.ino;
}

} // namespace

std::set<int> openDescriptors()
{
    std::set<int> fds;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return fds;
    const int own = dirfd(dir);
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const int fd = std::atoi(e->d_name);
        if (fd != own)
            fds.insert(fd);
    }
    closedir(dir);
    return fds;
}

SocketId findNewConnectedSocket(const std::set<int> &before)
{
    SocketId found;
    int candidates = 0;
    for (int fd : openDescriptors()) {
        if (before.count(fd) || !isConnectedStream(fd))
            continue;
        struct stat st {};
        if (fstat(fd, &st) != 0)
            continue;
        ++candidates;
        found = SocketId{fd, std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
    }
    return candidates == 1 ? found : SocketId{};
}

bool cutSocket(const SocketId &socket)
{
    return sameSocket(socket) && shutdown(socket.fd, SHUT_RDWR) == 0;
}

} // namespace kv::platform
