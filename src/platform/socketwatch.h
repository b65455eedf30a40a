// Cutting the socket a database driver waits on when the server stops
// answering. Drivers give no way to their socket and no way to end a read
// that waits on a server that is stopped but still connected; cutting the link
// under them is the one thing that makes such a read return.
//
// The socket is found through the thread that waits on it, never by looking
// for "the new socket": other threads connect to the same server at any
// moment (the client library reconnecting, a second check, the program
// manager), and a deadline must hold whatever they do.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kv::platform {

// A socket as the system knows it, so that a descriptor number reused for
// another file is never mistaken for it.
struct SocketId {
    int fd = -1;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;

    bool valid() const { return fd >= 0; }
};

// A thread of this process as the system knows it.
struct ThreadId {
    long id = 0;
};

// The calling thread.
ThreadId currentThread();

// The server a driver connects to, as far as the caller knows it: only a
// socket to this peer can be the driver's.
struct Peer {
    // A numeric address ("127.0.0.1", "::1"), a socket directory ("/run/..."),
    // or "" when the host is a name: then only the port is compared.
    std::string host;
    int port = 0;
};

// The server of a PostgreSQL connection to `host` with libpq's default port
// (PGPORT, else 5432).
Peer postgresPeer(const std::string &host);

// The connected stream socket to `peer` that `thread` is blocked on right now
// (reading, receiving, sending, or polling that one socket). Nothing when the
// thread is not blocked on such a socket at this moment (it may be between
// two calls: ask again a little later).
SocketId socketWaitedOn(ThreadId thread, const Peer &peer);

// Shuts the socket down both ways if it is still the same socket; a read
// waiting on it then sees end of file at once. True when it was cut.
bool cutSocket(const SocketId &socket);

// Keeps the deadline of one call at a time of the thread that owns it, from a
// thread of its own: when the call has not returned in time, it cuts the
// socket to the server that the owner is blocked on, looking again every
// kCutRetry until it has cut one or the call returns (at the moment the
// deadline passes the owner may be between two system calls, or still
// connecting). One watch serves every call of its owner, so that a guarded
// statement or fetch costs no thread of its own.
//
// The deadline is the system's timer: arming and disarming set it and wake
// nobody, so a call that returns in time (an idle till's look every few
// seconds) costs no switch to the watch's thread; that thread runs only when
// a deadline passes.
class DeadlineWatch {
public:
    static constexpr std::chrono::milliseconds kCutRetry{20};

    // The calling thread's watch: made at its first use, ended with the
    // thread. nullptr when no thread can be had now; the call then runs
    // unguarded.
    static DeadlineWatch *forThisThread();

    DeadlineWatch();
    ~DeadlineWatch();
    DeadlineWatch(const DeadlineWatch &) = delete;
    DeadlineWatch &operator=(const DeadlineWatch &) = delete;

    // Starts watching a call the owner is about to make.
    void arm(std::chrono::milliseconds limit, const Peer &server);
    // The call returned: no cut after this. True when its socket was cut.
    bool disarm();
    // Looks for the socket to cut since the watch began, for diagnostics.
    std::uint64_t looks() const { return m_looks.load(std::memory_order_relaxed); }

private:
    struct Timer;
    void run();
    // Waits for the retry's interval; false when the watch is ending.
    bool pauseForRetry(std::unique_lock<std::mutex> &lock);

    std::unique_ptr<Timer> m_timer;
    std::mutex m_mutex;
    bool m_armed = false;
    bool m_cut = false;
    // Tells one call's deadline from the next one's.
    std::uint64_t m_call = 0;
    std::chrono::steady_clock::time_point m_due;
    ThreadId m_owner;
    Peer m_server;
    std::atomic<std::uint64_t> m_looks{0};
    std::thread m_thread;
};

} // namespace kv::platform
