#include "platform/socketwatch.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>

namespace kv::platform {

namespace {

bool isConnectedStreamTo(int fd, const Peer &want)
{
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM)
        return false;
    sockaddr_storage peer{};
    socklen_t plen = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &plen) != 0)
        return false;
    const bool local = !want.host.empty() && want.host.front() == '/';
    if (peer.ss_family == AF_UNIX)
        return local;
    if (local || (peer.ss_family != AF_INET && peer.ss_family != AF_INET6))
        return false;
    char address[INET6_ADDRSTRLEN] = {};
    int port = 0;
    if (peer.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&peer);
        inet_ntop(AF_INET, &in->sin_addr, address, sizeof address);
        port = ntohs(in->sin_port);
    } else {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&peer);
        inet_ntop(AF_INET6, &in6->sin6_addr, address, sizeof address);
        port = ntohs(in6->sin6_port);
    }
    if (port != want.port)
        return false;
    return want.host.empty() || want.host == address;
}

// The host as the system writes it when it is a numeric address, else "".
std::string numericHost(const std::string &host)
{
    unsigned char buffer[sizeof(in6_addr)];
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_pton(AF_INET, host.c_str(), buffer) == 1)
        return inet_ntop(AF_INET, buffer, text, sizeof text) ? text : "";
    if (inet_pton(AF_INET6, host.c_str(), buffer) == 1)
        return inet_ntop(AF_INET6, buffer, text, sizeof text) ? text : "";
    return "";
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

Peer postgresPeer(const std::string &host)
{
    Peer peer;
    peer.host = !host.empty() && host.front() == '/' ? host : numericHost(host);
    const char *port = std::getenv("PGPORT");
    peer.port = port && std::atoi(port) > 0 ? std::atoi(port) : 5432;
    return peer;
}

SocketId findNewConnectedSocket(const std::set<int> &before, const Peer &peer)
{
    SocketId found;
    int candidates = 0;
    for (int fd : openDescriptors()) {
        if (before.count(fd) || !isConnectedStreamTo(fd, peer))
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
