#include "testprinter.h"

#include "testenv.h"

#include <gtest/gtest.h>

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace testprinter {

namespace {

std::string jobFile(const std::string &dir, int n)
{
    char name[32];
    std::snprintf(name, sizeof name, "job-%06d.bin", n);
    return dir + "/" + name;
}

} // namespace

std::string defaultQueue() { return testenv::require("KV_CUPS_DEFAULT_QUEUE"); }

std::string otherQueue() { return testenv::require("KV_CUPS_OTHER_QUEUE"); }

TestPrinter::TestPrinter(std::string queue)
    : m_queue(std::move(queue)), m_dir(testenv::require("KV_TESTPRINTER_DIR") + "/" + m_queue)
{
    if (!std::filesystem::is_directory(m_dir))
        throw std::runtime_error("the test printer of queue " + m_queue + " has no directory " + m_dir);
}

int TestPrinter::jobsReceived() const
{
    // Job files appear strictly in order, each complete once it exists.
    int n = 0;
    while (std::filesystem::exists(jobFile(m_dir, n + 1)))
        ++n;
    return n;
}

QByteArray TestPrinter::bytesSince(const Mark &mark, int jobs, std::chrono::milliseconds timeout) const
{
    // Jobs arrive in about 10 ms, so frequent looks cost a test little.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (jobsReceived() < mark.jobs + jobs && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int have = std::min(jobsReceived() - mark.jobs, jobs);
    EXPECT_EQ(have, jobs) << "test printer of " << m_queue << " received " << have << " of " << jobs
                          << " job(s) within " << timeout.count() << " ms";
    QByteArray all;
    for (int n = mark.jobs + 1; n <= mark.jobs + have; ++n) {
        QFile f(QString::fromStdString(jobFile(m_dir, n)));
        if (f.open(QIODevice::ReadOnly))
            all += f.readAll();
    }
    return all;
}

int printServerPid()
{
    std::ifstream in(testenv::require("KV_CUPS_STATEDIR") + "/cupsd.pid");
    int pid = 0;
    in >> pid;
    // Never 0 or 1: a signal to either would hit far more than cupsd.
    if (pid <= 1)
        throw std::runtime_error("the print server's pid file names no process");
    return pid;
}

void restorePrintServer()
{
    const std::string cmd = "'" + testenv::require("KV_CUPSCTL") + "' start-cupsd '" +
                            testenv::require("KV_CUPS_ENVDIR") + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << "the print server did not come back";
}

} // namespace testprinter
