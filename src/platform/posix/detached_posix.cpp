#include "platform/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kv::platform {
namespace {

// What the intermediate process and the program report back through the
// close-on-exec pipe. Nothing arriving before end of file means the program
// was started.
struct Report {
    enum Kind : int { Started, Failed } kind;
    int value; // Started: the program's pid; Failed: errno
};

void writeReport(int fd, Report r)
{
    // One write of a few bytes into a pipe is atomic; nothing is left to do
    // if it fails.
    [[maybe_unused]] const ssize_t n = ::write(fd, &r, sizeof r);
}

// Between fork and exec only async-signal-safe calls are allowed: the
// launcher has other threads whose locks may be held at the moment of fork.
[[noreturn]] void execProgram(char *const *argv, char *const *envp, const char *dir, int reportFd)
{
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::dup2(fd, 0) < 0) {
        writeReport(reportFd, {Report::Failed, errno});
        ::_exit(127);
    }
    if (fd != 0)
        ::close(fd);
    if (dir && *dir && ::chdir(dir) != 0) {
        writeReport(reportFd, {Report::Failed, errno});
        ::_exit(127);
    }
    // Descriptors other code opened without close-on-exec (database sockets)
    // must not reach the program; the report pipe closes with the exec.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int i = 3; i < 1024; ++i) {
            if (i != reportFd)
                ::fcntl(i, F_SETFD, FD_CLOEXEC);
        }
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv, envp);
    writeReport(reportFd, {Report::Failed, errno});
    ::_exit(127);
}

int fail(int code, SpawnError &error)
{
    error.stage = SpawnError::Stage::Start;
    error.code = code;
    error.description = std::strerror(code);
    return -1;
}

} // namespace

int startDetached(const std::vector<std::string> &argv, const std::string &workingDir, SpawnError &error,
                  const std::vector<std::string> &environment)
{
    error = {};
    if (argv.empty() || argv.front().empty() || argv.front().front() != '/')
        return fail(ENOENT, error);

    // Everything the children need is made before fork: they may not allocate.
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const char *dir = workingDir.c_str();
    std::vector<char *> envp;
    for (char **e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const auto sameName = [&entry](const std::string &added) {
            const std::size_t eq = added.find('=');
            return entry.substr(0, eq + 1) == std::string_view(added).substr(0, eq + 1);
        };
        if (std::none_of(environment.begin(), environment.end(), sameName))
            envp.push_back(*e);
    }
    for (const std::string &added : environment)
        envp.push_back(const_cast<char *>(added.c_str()));
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error.stage = SpawnError::Stage::Pipe;
        error.code = errno;
        error.description = std::strerror(errno);
        return -1;
    }

    const pid_t middle = ::fork();
    if (middle < 0) {
        const int e = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return fail(e, error);
    }
    if (middle == 0) {
        // The intermediate process leads a new session and ends at once, so
        // the program is adopted by the system and can never take a terminal.
        ::close(fds[0]);
        if (::setsid() < 0) {
            writeReport(fds[1], {Report::Failed, errno});
            ::_exit(127);
        }
        const pid_t program = ::fork();
        if (program < 0) {
            writeReport(fds[1], {Report::Failed, errno});
            ::_exit(127);
        }
        if (program == 0)
            execProgram(args.data(), envp.data(), dir, fds[1]);
        writeReport(fds[1], {Report::Started, int(program)});
        ::_exit(0);
    }

    ::close(fds[1]);
    int pid = -1;
    int failure = 0;
    Report r{};
    for (;;) {
        const ssize_t n = ::read(fds[0], &r, sizeof r);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != ssize_t(sizeof r))
            break; // end of file: the program runs (or the report was lost)
        if (r.kind == Report::Started)
            pid = r.value;
        else
            failure = r.value;
    }
    ::close(fds[0]);
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (failure != 0)
        return fail(failure, error);
    if (pid <= 0)
        return fail(ECHILD, error);
    return pid;
}

} // namespace kv::platform
