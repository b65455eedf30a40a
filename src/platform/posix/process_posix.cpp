#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kv::platform {
namespace {

// How long kill() waits for a killed child to be gone before leaving it to be
// collected in the background. SIGKILL normally takes well under this.
constexpr int kKillGraceMs = 200;

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
        if (reap()) {
            // Usually the pipe closed with the child: see that without a thread.
            char sink[4096];
            std::size_t got = 0;
            while (m_readFd >= 0 && read(sink, sizeof sink, got) == ReadResult::Data) {
            }
            if (m_readFd < 0)
                return;
        }
        // The child, or a process it started, still runs: it is left
        // running. The pipe is drained until everyone has let go of it
        // (closing it under them would end them with SIGPIPE at their next
        // write, the front-end that a killed run script started among them),
        // and the child is collected when it ends so it never stays a zombie.
        // Only this pid is ever waited for.
        try {
            std::thread(drainAndReap, m_reaped ? pid_t(0) : m_pid, m_pidFd, m_readFd).detach();
        } catch (const std::system_error &) {
            // No thread to be had: let go of the pipe rather than end the
            // launcher from a destructor. The child is collected by nobody
            // now, which is the lesser harm.
            if (m_pidFd >= 0)
                ::close(m_pidFd);
            if (m_readFd >= 0)
                ::close(m_readFd);
        }
        m_pidFd = -1;
        m_readFd = -1;
    }

    ReadResult read(char *buffer, std::size_t capacity, std::size_t &got) override
    {
        got = 0;
        if (m_readFd < 0)
            return ReadResult::Closed;
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
            reap();
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
        waitForEnd();
        reap();
        return true;
    }

    bool reap() override
    {
        if (m_reaped)
            return true;
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(m_pid, &status, WNOHANG);
        } while (r < 0 && errno == EINTR);
        // ECHILD: collected elsewhere; either way the pid is no longer ours.
        if (r == m_pid || (r < 0 && errno == ECHILD)) {
            m_reaped = true;
            closeFd(m_pidFd);
        }
        return m_reaped;
    }

private:
    // pid 0: already collected, only the pipe is left.
    static void drainAndReap(pid_t pid, int pidFd, int readFd)
    {
        char sink[4096];
        while (pid != 0 || readFd >= 0) {
            pollfd p[2] = {{pid != 0 ? pidFd : -1, POLLIN, 0}, {readFd, POLLIN, 0}};
            // Without a pidfd the end of the child is looked for once a second.
            const bool blind = pid != 0 && pidFd < 0;
            if (::poll(p, 2, blind ? 1000 : -1) < 0 && errno != EINTR)
                break;
            if (p[1].revents != 0) {
                const ssize_t got = ::read(readFd, sink, sizeof sink);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                    closeFd(readFd);
            }
            if (pid != 0) {
                const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
                if (r == pid || (r < 0 && errno == ECHILD))
                    pid = 0;
            }
        }
        closeFd(readFd);
        closeFd(pidFd);
    }

    void waitForEnd()
    {
        if (m_pidFd < 0)
            return;
        pollfd p{m_pidFd, POLLIN, 0};
        while (::poll(&p, 1, kKillGraceMs) < 0 && errno == EINTR) {
        }
    }

    pid_t m_pid;
    int m_readFd;
    int m_pidFd = -1;
    bool m_reaped = false;
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
