#include "platform/socketwatch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <unistd.h>

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

// The descriptor is another thread's, busy in the driver: it is looked at
// through the kernel only, with the system call itself, so that nothing in
// this process (a checker's bookkeeping of descriptors included) counts the
// look as a use of it. Whether it is still the same socket is what the
// device and inode tell.
int statOf(int fd, struct stat &st)
{
    return int(::syscall(SYS_fstat, fd, &st));
}

bool sameSocket(int fd, const SocketId &id)
{
    struct stat st {};
    return statOf(fd, st) == 0 && S_ISSOCK(st.st_mode) && std::uint64_t(st.st_dev) == id.dev &&
           std::uint64_t(st.st_ino) == id.ino;
}

// The one descriptor the thread is blocked on, read from the system call it
// sits in (/proc/self/task/TID/syscall: number and arguments); -1 when it is
// in none that waits on a single descriptor.
int descriptorWaitedOn(long tid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%ld/syscall", tid);
    std::FILE *f = std::fopen(path, "re");
    if (!f)
        return -1;
    char line[256] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    long number = -1;
    unsigned long long arg0 = 0, arg1 = 0;
    // "running" while the thread runs, a number and six arguments while blocked.
    if (!read || std::sscanf(line, "%ld %llx %llx", &number, &arg0, &arg1) != 3)
        return -1;
    switch (number) {
#ifdef SYS_read
    case SYS_read:
#endif
#ifdef SYS_write
    case SYS_write:
#endif
#ifdef SYS_recvfrom
    case SYS_recvfrom:
#endif
#ifdef SYS_recvmsg
    case SYS_recvmsg:
#endif
#ifdef SYS_sendto
    case SYS_sendto:
#endif
#ifdef SYS_sendmsg
    case SYS_sendmsg:
#endif
#ifdef SYS_connect
    case SYS_connect:
#endif
        return int(arg0);
#ifdef SYS_poll
    case SYS_poll:
#endif
#ifdef SYS_ppoll
    case SYS_ppoll:
#endif
    {
        // The poll's array lies in the waiting thread's memory; read through
        // the system, so that an array gone meanwhile is an error, not a crash.
        if (arg1 != 1)
            return -1;
        pollfd p{};
        iovec local{&p, sizeof p};
        iovec remote{reinterpret_cast<void *>(std::uintptr_t(arg0)), sizeof p};
        if (::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) != ssize_t(sizeof p))
            return -1;
        return p.fd;
    }
    default:
        return -1;
    }
}

} // namespace

ThreadId currentThread()
{
    return ThreadId{long(::syscall(SYS_gettid))};
}

Peer postgresPeer(const std::string &host)
{
    Peer peer;
    peer.host = !host.empty() && host.front() == '/' ? host : numericHost(host);
    const char *port = std::getenv("PGPORT");
    peer.port = port && std::atoi(port) > 0 ? std::atoi(port) : 5432;
    return peer;
}

SocketId socketWaitedOn(ThreadId thread, const Peer &peer)
{
    const int fd = descriptorWaitedOn(thread.id);
    struct stat st {};
    if (fd < 0 || statOf(fd, st) != 0 || !S_ISSOCK(st.st_mode) || !isConnectedStreamTo(fd, peer))
        return {};
    return SocketId{fd, std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

bool cutSocket(const SocketId &socket)
{
    if (!socket.valid())
        return false;
    // The waiting thread may close the number and a new file take it at any
    // moment: a duplicate holds on to whatever the number names now, so what
    // is compared is what is shut down. The duplicate only ever lives here;
    // like the look, it stays between this thread and the kernel.
    const int copy = int(::syscall(SYS_fcntl, socket.fd, F_DUPFD_CLOEXEC, 0));
    if (copy < 0)
        return false;
    const bool cut = sameSocket(copy, socket) && ::syscall(SYS_shutdown, copy, SHUT_RDWR) == 0;
    ::syscall(SYS_close, copy);
    return cut;
}

DeadlineWatch *DeadlineWatch::forThisThread()
{
    thread_local std::unique_ptr<DeadlineWatch> watch;
    if (!watch) {
        try {
            watch = std::make_unique<DeadlineWatch>();
        } catch (const std::system_error &) {
            return nullptr;
        }
    }
    return watch.get();
}

// The deadline on the monotonic clock (steady_clock's), and the watch's end.
// Neither blocks on reading: a timer set again between its firing and the
// read has nothing to read.
struct DeadlineWatch::Timer {
    int deadline = -1;
    int end = -1;

    Timer()
        : deadline(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)),
          end(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (deadline < 0 || end < 0) {
            const int error = errno;
            close();
            throw std::system_error(error, std::generic_category(), "deadline timer");
        }
    }
    ~Timer() { close(); }
    void close()
    {
        for (int *fd : {&deadline, &end})
            if (*fd >= 0)
                ::close(std::exchange(*fd, -1));
    }
    // `at` zero: disarmed.
    void set(std::chrono::steady_clock::time_point at)
    {
        itimerspec due{};
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
        due.it_value.tv_sec = time_t(ns / 1000000000);
        due.it_value.tv_nsec = long(ns % 1000000000);
        ::timerfd_settime(deadline, TFD_TIMER_ABSTIME, &due, nullptr);
    }
    // Waits for the deadline (or `ms`, -1: no limit); false when the watch ends.
    bool wait(int ms)
    {
        pollfd fds[2] = {{deadline, POLLIN, 0}, {end, POLLIN, 0}};
        while (::poll(fds, 2, ms) < 0 && errno == EINTR) {
        }
        std::uint64_t expired = 0;
        [[maybe_unused]] const auto n = ::read(deadline, &expired, sizeof expired);
        return !(fds[1].revents & POLLIN);
    }
};

DeadlineWatch::DeadlineWatch()
    : m_timer(std::make_unique<Timer>()), m_owner(currentThread()), m_thread([this] { run(); })
{
}

DeadlineWatch::~DeadlineWatch()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(m_timer->end, &one, sizeof one);
    m_thread.join();
}

void DeadlineWatch::arm(std::chrono::milliseconds limit, const Peer &server)
{
    std::lock_guard lock(m_mutex);
    m_armed = true;
    m_cut = false;
    ++m_call;
    m_due = std::chrono::steady_clock::now() + limit;
    m_owner = currentThread();
    m_server = server;
    m_timer->set(m_due);
}

bool DeadlineWatch::disarm()
{
    std::lock_guard lock(m_mutex);
    m_armed = false;
    m_timer->set({});
    return m_cut;
}

bool DeadlineWatch::pauseForRetry(std::unique_lock<std::mutex> &lock)
{
    lock.unlock();
    const bool going = m_timer->wait(int(kCutRetry.count()));
    lock.lock();
    return going;
}

// The look and the cut happen under the lock: once the owner has disarmed,
// its next call (maybe on another socket) is never cut for this one. The
// state, not the timer's firing, says whether a deadline has passed: a retry's
// wait may have taken the firing of the call armed after it.
void DeadlineWatch::run()
{
    std::unique_lock lock(m_mutex);
    std::uint64_t handled = 0;
    for (;;) {
        while (!m_armed || m_call == handled || std::chrono::steady_clock::now() < m_due) {
            lock.unlock();
            const bool going = m_timer->wait(-1);
            lock.lock();
            if (!going)
                return;
        }
        const std::uint64_t call = handled = m_call;
        do {
            m_looks.fetch_add(1, std::memory_order_relaxed);
            if (cutSocket(socketWaitedOn(m_owner, m_server))) {
                m_cut = true;
                break;
            }
            if (!pauseForRetry(lock))
                return;
        } while (m_armed && m_call == call);
    }
}

} // namespace kv::platform
