#include "testenv.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <algorithm>
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
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#ifndef KV_TEST_ENV_DIR
#error KV_TEST_ENV_DIR must name the environment directory of the build tree
#endif

namespace testenv {

namespace {

// Runs a program (found on PATH) to its end; its output, or an exception.
// posix_spawn, as QProcess's vfork-like start confuses the thread checker;
// errors go to a file, so that a full pipe never stops the program.
std::string run(const std::string &program, const QStringList &args, const QString &password = QString())
{
    std::vector<std::string> strings{program};
    for (const QString &a : args)
        strings.push_back(a.toStdString());
    const std::size_t argc = strings.size();
    for (char **e = environ; *e; ++e)
        if (password.isNull() || std::strncmp(*e, "PGPASSWORD=", 11) != 0)
            strings.emplace_back(*e);
    if (!password.isNull())
        strings.push_back("PGPASSWORD=" + password.toStdString());
    std::vector<char *> argv, envp;
    for (std::size_t i = 0; i < strings.size(); ++i)
        (i < argc ? argv : envp).push_back(strings[i].data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    int out[2];
    char errors[] = "/tmp/kv-run-XXXXXX";
    const int err = ::mkostemp(errors, O_CLOEXEC);
    if (err < 0 || ::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe or file for " + program);
    ::unlink(errors);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            text.append(buffer, std::size_t(n));
        else if (errno != EINTR)
            break;
    }
    ::close(out[0]);
    int status = 0;
    while (rc == 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const ssize_t errorBytes = ::pread(err, buffer, sizeof buffer, 0);
    ::close(err);
    if (rc != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(program + " " + args.join(' ').toStdString() + " failed:\n" + text +
                                 std::string(buffer, std::size_t(std::max<ssize_t>(errorBytes, 0))));
    return text;
}

} // namespace

void loadAll()
{
    namespace fs = std::filesystem;
    // A run outside ctest (bench/run) keeps its fixtures' files elsewhere.
    // Several directories, separated by ":", are read in turn: a later one's
    // settings win.
    const char *fromEnv = std::getenv("KV_TEST_ENV_DIR");
    const QStringList dirs = QString::fromLocal8Bit(fromEnv && *fromEnv ? fromEnv : KV_TEST_ENV_DIR)
                                 .split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &dir : dirs) {
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator(fs::path(dir.toStdString()), ec)) {
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

bool pollUntil(const std::function<bool()> &probe, std::chrono::milliseconds bound)
{
    for (const auto until = std::chrono::steady_clock::now() + bound; !probe();) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
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
    return psqlOn(database().name.toStdString(), "-c", sql);
}

std::string psqlOn(const std::string &name, const char *option, const std::string &sqlOrFile, bool superuser)
{
    const Db db = database();
    // The superuser logs in through the cluster's socket, where it is trusted.
    const QString host = superuser ? QString::fromStdString(require("KV_PG_SOCKDIR")) : db.host;
    return run("psql", {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", host, "-p", QString::number(db.port),
                        "-U", superuser ? QStringLiteral("postgres") : db.user, "-d", QString::fromStdString(name),
                        QLatin1String(option), QString::fromStdString(sqlOrFile)},
               db.password);
}

} // namespace testenv
