#include "platform/process.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kv::platform {
namespace {

std::string procPath(int pid, const char *entry)
{
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

std::optional<std::string> readLink(const std::string &path)
{
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0)
            return std::nullopt;
        if (std::size_t(n) < buf.size()) {
            buf.resize(std::size_t(n));
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

std::optional<std::string> readWhole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return s;
}

bool allDigits(const char *s)
{
    if (*s == '\0')
        return false;
    for (; *s; ++s) {
        if (!std::isdigit(static_cast<unsigned char>(*s)))
            return false;
    }
    return true;
}

// Tells whether a file may have been started since the last question about
// it, from an inotify watch on its directory: every exec opens the file, and
// an update puts a new file in its place. Reading the events pending since
// the last question costs one read, where looking at every process costs a
// path lookup per process. Whenever the watch cannot answer for sure (no
// watch to be had, events lost, the directory gone) the answer is yes.
class StartWatch {
public:
    StartWatch() = default;
    ~StartWatch() { closeWatch(); }
    StartWatch(const StartWatch &) = delete;
    StartWatch &operator=(const StartWatch &) = delete;

    bool mayHaveStarted(const std::string &path)
    {
        if (path != m_path) {
            closeWatch();
            m_path = path;
            openWatch();
            // What started before the watch was there is not known.
            m_lookAgain = true;
            return true;
        }
        if (m_fd < 0) {
            openWatch();
            m_lookAgain = true;
            return true;
        }
        if (readEvents()) {
            // An exec is seen as it opens the file, a moment before the
            // process shows the new executable: look once more next time.
            m_lookAgain = true;
            return true;
        }
        const bool again = m_lookAgain;
        m_lookAgain = false;
        return again;
    }

private:
    void openWatch()
    {
        const std::size_t slash = m_path.rfind('/');
        if (slash == std::string::npos || slash + 1 == m_path.size())
            return;
        m_name = m_path.substr(slash + 1);
        const std::string dir = slash == 0 ? std::string("/") : m_path.substr(0, slash);
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0)
            return;
        if (::inotify_add_watch(m_fd, dir.c_str(), IN_OPEN | IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0)
            closeWatch();
    }

    void closeWatch()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // True when an event may mean a start of the file. Events of other files
    // in the directory are only drained.
    bool readEvents()
    {
        bool started = false;
        alignas(inotify_event) char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n < 0 && errno != EAGAIN) {
                    closeWatch();
                    return true;
                }
                return started;
            }
            for (ssize_t at = 0; at < n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + e->len);
                // Lost events, or the watch is gone with its directory.
                if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED)) {
                    closeWatch();
                    return true;
                }
                if (e->len > 0 && m_name == e->name)
                    started = true;
            }
        }
    }

    std::string m_path;
    std::string m_name;
    int m_fd = -1;
    bool m_lookAgain = false;
};

// From /proc/PID/stat: "pid (comm) state ppid ... starttime ...". The name
// may hold blanks and parentheses, so the fields are counted from the last
// ")".
std::optional<ProcessOrigin> readOrigin(int pid)
{
    if (pid <= 0)
        return std::nullopt;
    const std::optional<std::string> stat = readWhole(procPath(pid, "stat"));
    if (!stat)
        return std::nullopt;
    const std::size_t close = stat->rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat->substr(close + 1));
    std::string state;
    long long ppid = 0;
    fields >> state >> ppid;
    // Fields 5 to 21 lie between the parent (4) and the start (22).
    std::string skipped;
    for (int field = 5; field <= 21; ++field)
        fields >> skipped;
    unsigned long long start = 0;
    fields >> start;
    if (!fields || state == "Z" || state == "X")
        return std::nullopt;
    return ProcessOrigin{int(ppid), std::uint64_t(start)};
}

// glibc 2.36's <sys/pidfd.h> lacks C linkage for C++: straight to the calls.
// The descriptor comes close-on-exec.
int openPidFd(int pid)
{
    return int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
}

// A process of someone else's followed through a pidfd, which names that
// process and no later one with its number, and turns readable when it
// ends. Without a pidfd (an older kernel) the process is looked for by its
// number and start at every read.
class FollowedProcess final : public Child {
public:
    FollowedProcess(int pid, std::uint64_t startTime, int pidFd)
        : m_pid(pid), m_startTime(startTime), m_pidFd(pidFd)
    {
    }
    ~FollowedProcess() override
    {
        if (m_pidFd >= 0)
            ::close(m_pidFd);
    }

    ReadResult read(char *, std::size_t, std::size_t &got) override
    {
        got = 0;
        return ended() ? ReadResult::Closed : ReadResult::Nothing;
    }

    int pid() const override { return m_pid; }

    bool kill() override
    {
        if (ended())
            return false;
        if (m_pidFd >= 0)
            return ::syscall(SYS_pidfd_send_signal, m_pidFd, SIGKILL, nullptr, 0) == 0;
        return ::kill(pid_t(m_pid), SIGKILL) == 0;
    }

    // Its parent collects it, not the launcher: ended is all there is to know.
    bool reap() override { return ended(); }

    // The pidfd turns readable at the end. Without one the caller polls.
    std::intptr_t newWaitHandle() const override
    {
        return m_pidFd < 0 || m_ended ? kNoWaitHandle : std::intptr_t(::fcntl(m_pidFd, F_DUPFD_CLOEXEC, 0));
    }

private:
    bool ended()
    {
        if (m_ended)
            return true;
        if (m_pidFd >= 0) {
            pollfd p{m_pidFd, POLLIN, 0};
            int ready;
            do {
                ready = ::poll(&p, 1, 0);
            } while (ready < 0 && errno == EINTR);
            m_ended = ready != 0;
        } else {
            const std::optional<ProcessOrigin> now = readOrigin(m_pid);
            m_ended = !now || now->startTime != m_startTime;
        }
        return m_ended;
    }

    int m_pid;
    std::uint64_t m_startTime;
    int m_pidFd;
    bool m_ended = false;
};

class PosixProcessTable final : public ProcessTable {
public:
    explicit PosixProcessTable(std::function<int(int, int)> send) : m_send(std::move(send)) {}

    int ownPid() const override { return int(::getpid()); }

    std::vector<int> listPids() const override
    {
        std::vector<int> pids;
        DIR *dir = ::opendir("/proc");
        if (!dir)
            return pids;
        while (const dirent *e = ::readdir(dir)) {
            if (allDigits(e->d_name))
                pids.push_back(std::stoi(e->d_name));
        }
        ::closedir(dir);
        return pids;
    }

    std::optional<std::string> executableOf(int pid) const override
    {
        if (pid <= 0)
            return std::nullopt;
        return readLink(procPath(pid, "exe"));
    }

    std::vector<std::string> argumentsOf(int pid) const override
    {
        std::vector<std::string> args;
        if (pid <= 0)
            return args;
        const std::optional<std::string> raw = readWhole(procPath(pid, "cmdline"));
        if (!raw)
            return args;
        std::size_t start = 0;
        while (start < raw->size()) {
            std::size_t end = raw->find('\0', start);
            if (end == std::string::npos)
                end = raw->size();
            args.push_back(raw->substr(start, end - start));
            start = end + 1;
        }
        return args;
    }

    bool ownedByCurrentUser(int pid) const override
    {
        if (pid <= 0)
            return false;
        const std::optional<std::string> status = readWhole(procPath(pid, "status"));
        if (!status)
            return false;
        // "Uid:\treal\teffective\tsaved\tfs": the effective id decides, as it
        // does for who may signal whom.
        std::istringstream lines(*status);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind("Uid:", 0) != 0)
                continue;
            std::istringstream fields(line.substr(4));
            long real = -1;
            long effective = -1;
            fields >> real >> effective;
            return fields && effective == long(::geteuid());
        }
        return false;
    }

    bool terminate(int pid) override
    {
        if (pid <= 0)
            return false;
        return m_send(pid, SIGKILL) == 0;
    }

    std::optional<ProcessOrigin> originOf(int pid) const override { return readOrigin(pid); }

    std::optional<std::string> workingDirectoryOf(int pid) const override
    {
        if (pid <= 0)
            return std::nullopt;
        return readLink(procPath(pid, "cwd"));
    }

    std::unique_ptr<Child> follow(int pid, std::uint64_t startTime) override
    {
        if (pid <= 0)
            return nullptr;
        const int pidFd = openPidFd(pid);
        // Looked at after the pidfd is open: had the process ended and its
        // number gone to another in between, the start would differ.
        const std::optional<ProcessOrigin> origin = readOrigin(pid);
        if (!origin || origin->startTime != startTime) {
            if (pidFd >= 0)
                ::close(pidFd);
            return nullptr;
        }
        return std::make_unique<FollowedProcess>(pid, startTime, pidFd);
    }

    std::vector<int> processesRunning(const std::string &path) const override
    {
        const std::string wanted(withoutDeletedMark(path));
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_watch.mayHaveStarted(wanted)) {
            m_running = ProcessTable::processesRunning(wanted);
            return m_running;
        }
        // Nothing started the file since: those found then, less the ended
        // (this process, asking, runs).
        std::erase_if(m_running, [&](int pid) {
            if (pid == ownPid())
                return false;
            const std::optional<std::string> exe = executableOf(pid);
            return !exe || withoutDeletedMark(*exe) != wanted;
        });
        return m_running;
    }

private:
    std::function<int(int, int)> m_send;
    mutable std::mutex m_mutex;
    mutable StartWatch m_watch;
    // What the last answer of processesRunning found.
    mutable std::vector<int> m_running;
};

} // namespace

ProcessTable &systemProcessTable()
{
    static PosixProcessTable table([](int pid, int signal) { return ::kill(pid_t(pid), signal); });
    return table;
}

std::unique_ptr<ProcessTable> systemProcessTableSendingThrough(std::function<int(int, int)> send)
{
    return std::make_unique<PosixProcessTable>(std::move(send));
}

} // namespace kv::platform
