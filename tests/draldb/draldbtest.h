// Shared by the client library's tests: a front-end configured for the test
// cluster, texts taken from the library, stderr capture, undone SIGSTOPs.
#pragma once

#include "draldb.h"
#include "tempdir.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

namespace draldbtest {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// Takes a returned text over and frees it.
inline std::string take(char *text)
{
    EXPECT_NE(text, nullptr);
    std::string copy = text ? text : "";
    draldb_free(text);
    return copy;
}

inline QByteArray confLine(const std::string &key, const std::string &value)
{
    return QByteArray::fromStdString(key + " = " + value + "\r\n");
}

inline QByteArray clusterConf(std::string password = testenv::database().password.toStdString(),
                              std::string host = testenv::database().host.toStdString())
{
    const auto db = testenv::database();
    return confLine("db_host", host) + confLine("db_name", db.name.toStdString()) +
           confLine("db_username", db.user.toStdString()) + confLine("db_password", password);
}

// What the launcher passes: its directory and the front-end's name.
inline std::string frontEndExe(const testsupport::TempAppDir &dir)
{
    return dir.file(QStringLiteral("dralfrontend")).toStdString();
}

inline int32_t connect(const testsupport::TempAppDir &dir)
{
    dir.write(QStringLiteral("dralfrontend.conf"), clusterConf());
    return system_init(frontEndExe(dir).c_str());
}

inline milliseconds elapsedSince(SteadyClock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(SteadyClock::now() - start);
}

// Polls probe until it holds or bound has passed.
inline bool pollUntil(const std::function<bool()> &probe, milliseconds bound)
{
    const auto start = SteadyClock::now();
    while (!probe()) {
        if (elapsedSince(start) > bound)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

// Column "v" of the first row of a query.
inline std::string scalar(int32_t connection, const std::string &sql)
{
    int32_t rs = 0;
    EXPECT_EQ(take(VB_new_sql(connection, sql.c_str(), &rs, 0)), "") << sql;
    int32_t row = VB_moveto(rs, 0);
    std::string value = take(VB_getvalue(rs, "", "v", &row));
    VB_free(&rs);
    return value;
}

// What reaches fd 2 while it lives. Close-on-exec, or a server that the test
// restarts inherits ctest's stderr and ctest waits for it to end.
class StderrCapture {
public:
    StderrCapture() : m_file(std::tmpfile()), m_saved(::fcntl(2, F_DUPFD_CLOEXEC, 0))
    {
        if (!m_file)
            throw std::runtime_error("no temporary file for stderr");
        std::fflush(stderr);
        ::fcntl(::fileno(m_file), F_SETFD, FD_CLOEXEC);
        ::dup2(::fileno(m_file), 2);
    }
    ~StderrCapture() { text(); std::fclose(m_file); }
    std::string text()
    {
        if (m_saved >= 0) {
            std::fflush(stderr);
            ::dup2(m_saved, 2);
            ::close(m_saved);
            m_saved = -1;
        }
        std::string out(4096, '\0');
        std::rewind(m_file);
        out.resize(std::fread(out.data(), 1, out.size(), m_file));
        return out;
    }

private:
    std::FILE *m_file;
    int m_saved;
};

// SIGSTOP now, SIGCONT at scope end whatever the test did in between.
class Stopped {
public:
    explicit Stopped(int pid) : m_pid(pid) { EXPECT_EQ(::kill(m_pid, SIGSTOP), 0); }
    ~Stopped() { ::kill(m_pid, SIGCONT); }

private:
    int m_pid;
};

} // namespace draldbtest
