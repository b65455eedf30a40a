// Finding the socket a database driver opened, and cutting it when the server
// stops answering. Drivers give no way to their socket and no way to end a
// read that waits on a server that is stopped but still connected; cutting
// the link under them is the one thing that makes such a read return.
#pragma once

#include <cstdint>
#include <set>

namespace kv::platform {

// A socket as the system knows it, so that a descriptor number reused for
// another file is never mistaken for it.
struct SocketId {
    int fd = -1;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;

    bool valid() const { return fd >= 0; }
};

// The descriptors open in this process now.
std::set<int> openDescriptors();

// The one connected stream socket opened since `before` was taken. Nothing
// when there is none, or more than one (another thread connected at the same
// moment): better no socket than a wrong one.
SocketId findNewConnectedSocket(const std::set<int> &before);

// Shuts the socket down both ways if it is still the same socket; a read
// waiting on it then sees end of file at once. True when it was cut.
bool cutSocket(const SocketId &socket);

} // namespace kv::platform
