// Finding the socket a database driver opened, and cutting it when the server
// stops answering. Drivers give no way to their socket and no way to end a
// read that waits on a server that is stopped but still connected; cutting
// the link under them is the one thing that makes such a read return.
#pragma once

#include <cstdint>
#include <set>
#include <string>

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

// The server a driver connects to, as far as the caller knows it: other
// threads connect at the same time (to the print server, and the client
// library to the same database), and only a socket to this peer can be the
// driver's.
struct Peer {
    // A numeric address ("127.0.0.1", "::1"), a socket directory ("/run/..."),
    // or "" when the host is a name: then only the port is compared.
    std::string host;
    int port = 0;
};

// The server of a PostgreSQL connection to `host` with libpq's default port
// (PGPORT, else 5432).
Peer postgresPeer(const std::string &host);

// The one connected stream socket to `peer` opened since `before` was taken.
// Nothing when there is none, or more than one (another thread connected to
// the same server at the same moment): better no socket than a wrong one.
SocketId findNewConnectedSocket(const std::set<int> &before, const Peer &peer);

// Shuts the socket down both ways if it is still the same socket; a read
// waiting on it then sees end of file at once. True when it was cut.
bool cutSocket(const SocketId &socket);

} // namespace kv::platform
