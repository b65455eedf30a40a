#include "platform/process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kv::platform {
namespace {

// How long kill() waits for a killed child to be gone before leaving it to be
// collected in the background. SIGKILL normally takes well under this.
constexpr int kKillGraceMs = 200;
// How long a child whose output has closed is given to be gone.
constexpr int kEndAfterCloseMs = 50;

// Called through syscall(2): glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.
int openPidFd(pid_t pid)
{
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

int sendSignal(int pidFd, int signal)
{
    return int(::syscall(SYS_pidfd_send_signal, pidFd, signal, nullptr, 0));
}

void closeFd(int &fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Collects the child a pidfd names if it has ended, without waiting; true
// once it is collected, with how it ended in `status` when this call
// collected it. Going through the pidfd rather than the number lets two
// parties watch one child: whoever comes second learns from ECHILD that it
// is gone, and never collects a stranger that was given the same number.
bool collectByPidFd(int pidFd, std::optional<ExitStatus> *status = nullptr)
{
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PIDFD, id_t(pidFd), &info, WEXITED | WNOHANG) == 0) {
            if (info.si_pid == 0)
                return false;
            if (status)
                *status = ExitStatus{info.si_code != CLD_EXITED, info.si_status};
            return true;
        }
        if (errno != EINTR)
            return true; // ECHILD: collected elsewhere
    }
}

// The same by number, for a child without a pidfd; only its one owner may.
bool collectByPid(pid_t pid, std::optional<ExitStatus> *status = nullptr)
{
    pid_t r;
    int wstatus = 0;
    do {
        r = ::waitpid(pid, &wstatus, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid && status)
        *status = WIFSIGNALED(wstatus) ? ExitStatus{true, WTERMSIG(wstatus)} : ExitStatus{false, WEXITSTATUS(wstatus)};
    return r == pid || (r < 0 && errno == ECHILD);
}

// Looks after what the launcher has let go of: pipes that processes a child
// started still write into, and children that have not been collected yet.
// One thread for all of them, however many there are. A pipe is read and its
// bytes dropped until every holder has let go of it (closing it under them
// would fail their next write, and some programs end on that); a child is
// collected as soon as it ends, so it never stays a zombie.
class Releaser {
public:
    // Null when no thread could be had; the next call tries again, so a
    // moment short of descriptors or threads does not last the whole run.
    static Releaser *instance()
    {
        static std::mutex mutex;
        // Never destroyed: its thread may sit in poll() while the launcher exits.
        static Releaser *releaser = nullptr;
        std::lock_guard<std::mutex> lock(mutex);
        if (!releaser) {
            auto *r = new Releaser;
            if (r->start())
                releaser = r;
            else
                delete r;
        }
        return releaser;
    }

    // Takes over the descriptors (-1: none). A child is collected through
    // its pidfd, or, without one, by `pid`: then nobody else may wait for it.
    void take(int pidFd, pid_t pid, int readFd)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_incoming.push_back({pidFd, pidFd < 0 ? pid : 0, readFd});
        }
        const std::uint64_t one = 1;
        while (::write(m_wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

private:
    struct Entry {
        int pidFd;
        pid_t pid; // without a pidfd: looked for once a second
        int readFd;
        bool done() const { return pidFd < 0 && pid <= 0 && readFd < 0; }
    };

    Releaser() = default;

    bool start()
    {
        m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_wake < 0)
            return false;
        try {
            std::thread([this] { run(); }).detach();
        } catch (const std::system_error &) {
            closeFd(m_wake);
            return false;
        }
        return true;
    }

    [[noreturn]] void run()
    {
        std::vector<Entry> entries;
        std::vector<pollfd> fds;
        std::vector<char> sink(65536);
        for (;;) {
            fds.assign(1, {m_wake, POLLIN, 0});
            bool blind = false;
            for (const Entry &e : entries) {
                fds.push_back({e.pidFd, POLLIN, 0});
                fds.push_back({e.readFd, POLLIN, 0});
                blind = blind || e.pid > 0;
            }
            if (::poll(fds.data(), nfds_t(fds.size()), blind ? 1000 : -1) < 0) {
                if (errno != EINTR)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            for (std::size_t i = 0; i < entries.size(); ++i) {
                Entry &e = entries[i];
                if (fds[1 + 2 * i].revents != 0 && collectByPidFd(e.pidFd))
                    closeFd(e.pidFd);
                if (fds[2 + 2 * i].revents != 0) {
                    const ssize_t got = ::read(e.readFd, sink.data(), sink.size());
                    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                        closeFd(e.readFd);
                }
                if (e.pid > 0 && collectByPid(e.pid))
                    e.pid = 0;
            }
            std::erase_if(entries, [](const Entry &e) { return e.done(); });
            if (fds[0].revents != 0) {
                std::uint64_t count;
                while (::read(m_wake, &count, sizeof count) < 0 && errno == EINTR) {
                }
                std::lock_guard<std::mutex> lock(m_mutex);
                entries.insert(entries.end(), m_incoming.begin(), m_incoming.end());
                m_incoming.clear();
            }
        }
    }

    int m_wake = -1;
    std::mutex m_mutex;
    std::vector<Entry> m_incoming;
};

class PosixChild final : public Child {
public:
    PosixChild(pid_t pid, int readFd) : m_pid(pid), m_readFd(readFd)
    {
        // The child cannot have been reaped yet, so this pidfd names it and
        // no later process that happens to get the same number.
        m_pidFd = openPidFd(pid);
    }

    ~PosixChild() override
    {
        reap();
        // Usually the pipe closed with the child: see that here rather than
        // hand it on.
        char sink[4096];
        while (m_readFd >= 0) {
            const ssize_t n = ::read(m_readFd, sink, sizeof sink);
            if (n > 0 || (n < 0 && errno == EINTR))
                continue;
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                closeFd(m_readFd);
            break;
        }
        const bool childLeft = !m_reaped && !m_watched;
        if (!childLeft)
            closeFd(m_pidFd);
        if (!childLeft && m_readFd < 0)
            return;
        // The child, or a process it started, still runs. It is left
        // running, and the pipe and the child are looked after from now on.
        if (Releaser *releaser = Releaser::instance()) {
            releaser->take(m_pidFd, childLeft ? m_pid : 0, m_readFd);
            m_pidFd = -1;
            m_readFd = -1;
            return;
        }
        // No thread to be had: let go of the pipe rather than end the
        // launcher from a destructor. The child is collected by nobody now,
        // which is the lesser harm.
        closeFd(m_pidFd);
        closeFd(m_readFd);
    }

    ReadResult read(char *buffer, std::size_t capacity, std::size_t &got) override
    {
        got = 0;
        if (m_readFd < 0)
            return ReadResult::Closed;
        // The idle case, a running child with nothing to say, once a second
        // for every program: one poll of the pipe and the pidfd tells it in
        // one call, where a read and a wait for the child would take two.
        if (m_pidFd >= 0 && !m_reaped) {
            pollfd fds[2] = {{m_readFd, POLLIN, 0}, {m_pidFd, POLLIN, 0}};
            int ready;
            do {
                ready = ::poll(fds, 2, 0);
            } while (ready < 0 && errno == EINTR);
            if (ready == 0)
                return ReadResult::Nothing;
        }
        for (;;) {
            const ssize_t n = ::read(m_readFd, buffer, capacity);
            if (n > 0) {
                got = std::size_t(n);
                return ReadResult::Data;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A child may end while its own children keep the pipe open;
                // collect it now rather than when the pipe closes.
                reap();
                return ReadResult::Nothing;
            }
            closeFd(m_readFd);
            // The kernel closes a dying child's descriptors a moment before
            // its end can be collected: wait that moment, so the end is
            // known with its status. A child that only closed its output
            // and runs on costs this wait once.
            if (!reap()) {
                waitForEnd(kEndAfterCloseMs);
                if (!reap())
                    collectWhenItEnds();
            }
            return ReadResult::Closed;
        }
    }

    int pid() const override { return int(m_pid); }

    bool kill() override
    {
        if (reap())
            return false;
        int rc;
        if (m_pidFd >= 0)
            rc = sendSignal(m_pidFd, SIGKILL);
        else
            rc = ::kill(m_pid, SIGKILL); // not reaped, so the pid is still ours
        if (rc != 0)
            return false;
        waitForEnd(kKillGraceMs);
        reap();
        return true;
    }

    bool reap() override
    {
        if (m_reaped)
            return true;
        if (m_pidFd >= 0 ? collectByPidFd(m_pidFd, &m_status) : collectByPid(m_pid, &m_status)) {
            m_reaped = true;
            closeFd(m_pidFd);
        }
        return m_reaped;
    }

    std::optional<ExitStatus> exitStatus() const override { return m_status; }

    // The pipe alone: it turns readable with output and at its close, the
    // only end the launcher acts on. A child that ends while its own
    // children hold the pipe is collected by the next read, whenever that is.
    std::intptr_t newWaitHandle() const override
    {
        return m_readFd < 0 ? kNoWaitHandle : std::intptr_t(::fcntl(m_readFd, F_DUPFD_CLOEXEC, 0));
    }

private:
    // The pipe has closed while the child runs on, and a runner that has
    // seen its pipe close is not polled any more: the releaser collects the
    // child when it ends. This object keeps its own pidfd, so it can still
    // end or collect the child itself. Without a pidfd (none to be had at
    // the start) the child is collected when the runner is used again.
    void collectWhenItEnds()
    {
        if (m_pidFd < 0 || m_watched)
            return;
        Releaser *releaser = Releaser::instance();
        const int copy = releaser ? ::fcntl(m_pidFd, F_DUPFD_CLOEXEC, 0) : -1;
        if (copy < 0)
            return;
        releaser->take(copy, 0, -1);
        m_watched = true;
    }

    void waitForEnd(int ms)
    {
        if (m_pidFd < 0)
            return;
        pollfd p{m_pidFd, POLLIN, 0};
        while (::poll(&p, 1, ms) < 0 && errno == EINTR) {
        }
    }

    pid_t m_pid;
    int m_readFd;
    int m_pidFd = -1;
    bool m_reaped = false;
    std::optional<ExitStatus> m_status;
    // The releaser collects the child through a pidfd of its own.
    bool m_watched = false;
};

class PosixSpawner final : public ChildSpawner {
public:
    std::unique_ptr<Child> spawn(const std::vector<std::string> &argv, const std::string &workingDir,
                                 Capture capture, SpawnError &error) override
    {
        error = {};
        if (argv.empty() || argv.front().empty())
            return fail(ENOENT, error);
        if (!capture.standardOutput && !capture.standardError)
            return fail(EINVAL, error);

        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return fail(errno, error, SpawnError::Stage::Pipe);
        int readFd = fds[0];
        int writeFd = fds[1];
        if (::fcntl(readFd, F_SETFL, ::fcntl(readFd, F_GETFL) | O_NONBLOCK) != 0) {
            const int e = errno;
            closeFd(readFd);
            closeFd(writeFd);
            return fail(e, error, SpawnError::Stage::Pipe);
        }

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        // A stream that is not captured goes nowhere, but stays open so the
        // child's next file does not land on descriptor 1 or 2.
        if (capture.standardOutput)
            posix_spawn_file_actions_adddup2(&actions, writeFd, 1);
        else
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (capture.standardError)
            posix_spawn_file_actions_adddup2(&actions, writeFd, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        // Descriptors that other code opened without close-on-exec (sockets
        // of database drivers, say) must not reach the child either.
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        if (!workingDir.empty())
            posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());

        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t signals;
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attr, &signals);
        // Signals the launcher catches are not the child's business. SIGPIPE
        // stays ignored: a program writing into the pipe of a launcher that
        // has gone (the front-end after the launcher was replaced) gets an
        // error for that write and carries on, instead of dying.
        sigfillset(&signals);
        sigdelset(&signals, SIGPIPE);
        posix_spawnattr_setsigdefault(&attr, &signals);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        std::vector<char *> args;
        args.reserve(argv.size() + 1);
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);

        pid_t pid = 0;
        const bool searchPath = argv.front().find('/') == std::string::npos;
        const int rc = searchPath ? ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ)
                                  : ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        // From here the launcher keeps only the read end: the pipe closes
        // when the child and everything it started have let go of theirs.
        closeFd(writeFd);
        if (rc != 0) {
            closeFd(readFd);
            return fail(rc, error);
        }
        return std::make_unique<PosixChild>(pid, readFd);
    }

private:
    static std::unique_ptr<Child> fail(int code, SpawnError &error,
                                       SpawnError::Stage stage = SpawnError::Stage::Start)
    {
        error.stage = stage;
        error.code = code;
        // strerror(0) would be "Success".
        error.description = code != 0 ? std::strerror(code) : "unknown error";
        return nullptr;
    }
};

} // namespace

void closeWaitHandle(std::intptr_t handle)
{
    if (handle >= 0)
        ::close(int(handle));
}

ChildSpawner &systemSpawner()
{
    static PosixSpawner spawner = [] {
        // Children inherit an ignored SIGPIPE (see spawn). The launcher
        // itself wants the same: a write to a closed pipe or socket is an
        // error to handle, never a reason to end.
        std::signal(SIGPIPE, SIG_IGN);
        return PosixSpawner();
    }();
    return spawner;
}

} // namespace kv::platform
