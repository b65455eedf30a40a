// What the client library's tests share: a front-end directory configured for
// the test cluster, text taken from the library, stderr capture, and a process
// held with SIGSTOP that is always let go again.
#pragma once

#include "draldb.h"
#include "tempdir.h"
#include "testenv.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace draldbtest {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// Takes a returned text over and frees it.
inline std::string take(char *text)
{
    EXPECT_NE(text, nullptr);
    if (!text)
        return {};
    std::string copy(text);
    draldb_free(text);
    return copy;
}

inline QByteArray confLine(const std::string &key, const std::string &value)
{
    return QByteArray::fromStdString(key + " = " + value + "\r\n");
}

// The database keys of the test cluster in the front-end's line syntax.
inline QByteArray clusterConf(const std::string &password)
{
    const auto db = testenv::database();
    return confLine("db_host", db.host.toStdString()) + confLine("db_name", db.name.toStdString()) +
           confLine("db_username", db.user.toStdString()) + confLine("db_password", password);
}
inline QByteArray clusterConf()
{
    return clusterConf(testenv::database().password.toStdString());
}

// The path the launcher passes: its directory followed by the front-end's name.
inline std::string frontEndExe(const testsupport::TempAppDir &dir)
{
    return dir.file(QStringLiteral("dralfrontend")).toStdString();
}

// A connection to the cluster as the launcher opens it.
inline int32_t connect(const testsupport::TempAppDir &dir)
{
    dir.write(QStringLiteral("dralfrontend.conf"), clusterConf());
    return system_init(frontEndExe(dir).c_str());
}

inline milliseconds elapsedSince(SteadyClock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(SteadyClock::now() - start);
}

// Calls probe every few milliseconds until it is true or bound has passed.
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

// Runs a query on the connection and gives the first column of the first row.
inline std::string scalar(int32_t connection, const std::string &sql)
{
    int32_t rs = 0;
    const std::string error = take(VB_new_sql(connection, sql.c_str(), &rs, 0));
    EXPECT_EQ(error, "") << sql;
    EXPECT_NE(rs, 0) << sql;
    int32_t row = VB_moveto(rs, 0);
    std::string value = take(VB_getvalue(rs, "", "v", &row));
    VB_free(&rs);
    return value;
}

// Everything written to fd 2 while it lives; the file is anonymous.
class StderrCapture {
public:
    StderrCapture()
        : m_file(std::tmpfile())
    {
        // Close-on-exec: a server the test restarts must not inherit the
        // real stderr, or ctest waits for that server to end.
        std::fflush(stderr);
        m_saved = ::fcntl(2, F_DUPFD_CLOEXEC, 0);
        if (m_file) {
            ::fcntl(::fileno(m_file), F_SETFD, FD_CLOEXEC);
            ::dup2(::fileno(m_file), 2);
        }
    }
    ~StderrCapture()
    {
        restore();
        if (m_file)
            std::fclose(m_file);
    }
    std::string text()
    {
        restore();
        std::string out;
        if (!m_file)
            return "<no capture file>";
        std::rewind(m_file);
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, m_file)) > 0)
            out.append(buf, n);
        return out;
    }

private:
    void restore()
    {
        if (m_saved >= 0) {
            std::fflush(stderr);
            ::dup2(m_saved, 2);
            ::close(m_saved);
            m_saved = -1;
        }
    }
    std::FILE *m_file;
    int m_saved = -1;
};

// SIGSTOP now, SIGCONT at scope end whatever the test did in between.
class Stopped {
public:
    explicit Stopped(int pid)
        : m_pid(pid)
    {
        EXPECT_EQ(::kill(m_pid, SIGSTOP), 0);
    }
    ~Stopped() { resume(); }
    void resume()
    {
        if (m_pid > 0)
            ::kill(m_pid, SIGCONT);
        m_pid = 0;
    }

private:
    int m_pid;
};

} // namespace draldbtest
