#include "testenv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#ifndef KV_TEST_ENV_DIR
#error KV_TEST_ENV_DIR must name the environment directory of the build tree
#endif

namespace testenv {

namespace {

std::string shellQuote(const std::string &s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string run(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        throw std::runtime_error("popen failed: " + command);
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int rc = pclose(p);
    if (rc != 0)
        throw std::runtime_error("command failed (" + std::to_string(rc) + "): " + command + "\n" + out);
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
            if (eq == std::string::npos || line.empty() || line[0] == '#')
                continue;
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
    Db db;
    db.host = QString::fromStdString(require("KV_DB_HOST"));
    db.name = QString::fromStdString(require("KV_DB_NAME"));
    db.user = QString::fromStdString(require("KV_DB_USER"));
    db.password = QString::fromStdString(require("KV_DB_PASSWORD"));
    db.port = std::stoi(require("PGPORT"));
    return db;
}

void pgctl(const char *command)
{
    run(shellQuote(require("KV_PGCTL")) + " " + command + " " + shellQuote(require("KV_ENV_DIR")) + " 2>&1");
}

int postmasterPid()
{
    return std::stoi(run(shellQuote(require("KV_PGCTL")) + " postmaster-pid " + shellQuote(require("KV_ENV_DIR"))));
}

std::string psql(const std::string &sql)
{
    const Db db = database();
    const std::string cmd = "PGPASSWORD=" + shellQuote(db.password.toStdString()) +
                            " psql -X -q -A -t -v ON_ERROR_STOP=1 -h " + shellQuote(db.host.toStdString()) +
                            " -p " + std::to_string(db.port) + " -U " + shellQuote(db.user.toStdString()) +
                            " -d " + shellQuote(db.name.toStdString()) + " -c " + shellQuote(sql) + " 2>&1";
    return run(cmd);
}

} // namespace testenv
