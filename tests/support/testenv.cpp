#include "testenv.h"

#include <gtest/gtest.h>

#include <QProcess>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#ifndef KV_TEST_ENV_DIR
#error KV_TEST_ENV_DIR must name the environment directory of the build tree
#endif

namespace testenv {

namespace {

// Runs a program to its end; its output, or an exception saying what failed.
std::string run(const std::string &program, const QStringList &args, const QString &password = QString())
{
    QProcess p;
    if (!password.isNull()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PGPASSWORD"), password);
        p.setProcessEnvironment(env);
    }
    p.start(QString::fromStdString(program), args);
    const bool done = p.waitForFinished(180'000);
    const std::string out = p.readAllStandardOutput().toStdString();
    if (!done || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw std::runtime_error(program + " " + args.join(' ').toStdString() + " failed:\n" + out +
                                 p.readAllStandardError().toStdString());
    return out;
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
