#include "testenv.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#ifndef KV_TEST_ENV_DIR
#error KV_TEST_ENV_DIR must name the environment directory of the build tree
#endif

namespace testenv {

namespace {

// Runs a program (found on PATH) to its end; its output, or an exception
// saying what failed. Started with posix_spawn, as the launcher starts its
// programs: a child that runs code in this process's memory before its exec
// (QProcess's vfork-like start) leaves the thread checker's view of this
// process wrong.
std::string run(const std::string &program, const QStringList &args, const QString &password = QString())
{
    std::vector<std::string> argv{program};
    for (const QString &a : args)
        argv.push_back(a.toStdString());
    std::vector<char *> argp;
    for (std::string &a : argv)
        argp.push_back(a.data());
    argp.push_back(nullptr);
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e) {
        if (password.isNull() || std::strncmp(*e, "PGPASSWORD=", 11) != 0)
            envs.emplace_back(*e);
    }
    if (!password.isNull())
        envs.push_back("PGPASSWORD=" + password.toStdString());
    std::vector<char *> envp;
    for (std::string &e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    std::array<int, 2> out{-1, -1}, err{-1, -1};
    if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe for " + program);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    std::string text[2];
    std::array<pollfd, 2> fds{pollfd{out[0], POLLIN, 0}, pollfd{err[0], POLLIN, 0}};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(180);
    bool timedOut = false;
    while (rc == 0 && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
        if (std::chrono::steady_clock::now() >= until) {
            timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR)
            break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                text[i].append(buffer, std::size_t(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (const pollfd &f : fds) {
        if (f.fd >= 0)
            ::close(f.fd);
    }
    int status = 0;
    if (rc == 0)
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    if (rc != 0 || timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(program + " " + args.join(' ').toStdString() + " failed:\n" + text[0] + text[1]);
    return text[0];
}

} // namespace

void loadAll()
{
    namespace fs = std::filesystem;
    // A run outside ctest (bench/run) keeps its fixtures' files elsewhere.
    const char *fromEnv = std::getenv("KV_TEST_ENV_DIR");
    const fs::path dir(fromEnv && *fromEnv ? fromEnv : KV_TEST_ENV_DIR);
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir, ec)) {
        if (entry.path().extension() != ".env")
            continue;
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            const auto eq = line.find('=');
            if (eq != std::string::npos && line[0] != '#')
                setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
        }
    }
}

std::string require(const char *name)
{
    const char *v = std::getenv(name);
    if (!v || !*v) {
        ADD_FAILURE() << "environment variable " << name
                      << " is missing: this test needs the fixture that sets it "
                         "(run it through ctest, which starts the fixtures)";
        throw std::runtime_error(std::string("missing test environment: ") + name);
    }
    return v;
}

Db database()
{
    const auto get = [](const char *name) { return QString::fromStdString(require(name)); };
    return {get("KV_DB_HOST"), get("KV_DB_NAME"), get("KV_DB_USER"), get("KV_DB_PASSWORD"), get("PGPORT").toInt()};
}

void pgctl(const char *command)
{
    run(require("KV_PGCTL"), {QString::fromLatin1(command), QString::fromStdString(require("KV_ENV_DIR"))});
}

int postmasterPid()
{
    return std::stoi(run(require("KV_PGCTL"), {"postmaster-pid", QString::fromStdString(require("KV_ENV_DIR"))}));
}

int sessionsSettledAt(int expected)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        const int n = std::stoi(psql("SELECT count(*) FROM pg_stat_activity WHERE usename = current_user "
                                     "AND datname = current_database() AND pid <> pg_backend_pid()"));
        if (n == expected || std::chrono::steady_clock::now() >= until)
            return n;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

ClusterStopped::ClusterStopped()
{
    pgctl("stop");
}

ClusterStopped::~ClusterStopped()
{
    try {
        pgctl("start");
    } catch (const std::exception &e) {
        ADD_FAILURE() << "the cluster did not start again: " << e.what();
    }
}

Frozen::Frozen(int pid) : m_pid(pid)
{
    EXPECT_EQ(::kill(pid, SIGSTOP), 0) << "pid " << pid;
}

Frozen::~Frozen()
{
    ::kill(m_pid, SIGCONT);
}

std::string psql(const std::string &sql)
{
    const Db db = database();
    return run("psql", {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", db.host, "-p", QString::number(db.port),
                        "-U", db.user, "-d", db.name, "-c", QString::fromStdString(sql)},
               db.password);
}

} // namespace testenv
