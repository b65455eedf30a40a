#include "testprinter.h"

#include "testenv.h"

#include <gtest/gtest.h>

#include <cups/cups.h>

#include <QFile>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace testprinter {

namespace {

namespace fs = std::filesystem;

std::string jobFile(const std::string &dir, int n)
{
    char name[32];
    std::snprintf(name, sizeof name, "job-%06d.bin", n);
    return dir + "/" + name;
}

QByteArray readFile(const std::string &path)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// How long between looks at the test printer's directory: jobs arrive in
// about 10 ms, so this costs a test little.
constexpr auto kPoll = std::chrono::milliseconds(5);

const char *stateName(ipp_jstate_t state)
{
    // The job states are consecutive, from pending to completed.
    static const char *const names[] = {"pending", "held", "processing", "stopped",
                                        "canceled", "aborted", "completed"};
    return state >= IPP_JSTATE_PENDING && state <= IPP_JSTATE_COMPLETED ? names[state - IPP_JSTATE_PENDING]
                                                                         : "unknown";
}

} // namespace

std::string defaultQueue() { return testenv::require("KV_CUPS_DEFAULT_QUEUE"); }

std::string otherQueue() { return testenv::require("KV_CUPS_OTHER_QUEUE"); }

TestPrinter::TestPrinter(std::string queue)
    : m_queue(std::move(queue)), m_dir(testenv::require("KV_TESTPRINTER_DIR") + "/" + m_queue)
{
    if (!fs::is_directory(m_dir)) {
        ADD_FAILURE() << "the test printer of queue " << m_queue << " has no directory " << m_dir;
        throw std::runtime_error("no test printer for " + m_queue);
    }
}

int TestPrinter::jobsReceived() const
{
    // Job files appear strictly in order, each complete once it exists.
    int n = 0;
    while (fs::exists(jobFile(m_dir, n + 1)))
        ++n;
    return n;
}

TestPrinter::Mark TestPrinter::mark() const { return Mark{jobsReceived()}; }

std::vector<QByteArray> TestPrinter::jobsSince(const Mark &mark, int jobs, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (jobsReceived() < mark.jobs + jobs && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kPoll);
    const int have = jobsReceived() - mark.jobs;
    EXPECT_GE(have, jobs) << "test printer of " << m_queue << " received " << have << " of " << jobs
                          << " job(s) within " << timeout.count() << " ms";
    std::vector<QByteArray> out;
    for (int n = mark.jobs + 1; n <= mark.jobs + std::min(have, jobs); ++n)
        out.push_back(readFile(jobFile(m_dir, n)));
    return out;
}

QByteArray TestPrinter::bytesSince(const Mark &mark, int jobs, std::chrono::milliseconds timeout) const
{
    QByteArray all;
    for (const QByteArray &job : jobsSince(mark, jobs, timeout))
        all += job;
    return all;
}

std::vector<ServerJob> serverJobs(const std::string &queue)
{
    testenv::require("CUPS_SERVER");
    cups_job_t *jobs = nullptr;
    const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, queue.c_str(), 0, CUPS_WHICHJOBS_ALL);
    std::vector<ServerJob> out;
    for (int i = 0; i < n; ++i)
        out.push_back({jobs[i].id, jobs[i].title ? jobs[i].title : "", stateName(jobs[i].state)});
    cupsFreeJobs(n, jobs);
    std::sort(out.begin(), out.end(), [](const ServerJob &a, const ServerJob &b) { return a.id < b.id; });
    return out;
}

ServerJob waitForJobEnd(const std::string &queue, int id, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    ServerJob last;
    for (;;) {
        for (const ServerJob &job : serverJobs(queue)) {
            if (job.id == id)
                last = job;
        }
        if (last.state == "canceled" || last.state == "aborted" || last.state == "completed")
            return last;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(kPoll);
    }
    ADD_FAILURE() << "job " << id << " of " << queue << " did not end within " << timeout.count()
                  << " ms (state " << (last.id ? last.state : "not listed") << ")";
    return last;
}

int printServerPid()
{
    std::ifstream in(testenv::require("KV_CUPS_STATEDIR") + "/cupsd.pid");
    int pid = 0;
    in >> pid;
    // Never 0 or 1: a signal to either would hit far more than cupsd.
    if (pid <= 1) {
        ADD_FAILURE() << "the print server's pid file names no process";
        throw std::runtime_error("no print server pid");
    }
    return pid;
}

void restorePrintServer()
{
    const std::string cmd = "'" + testenv::require("KV_CUPSCTL") + "' start-cupsd '" +
                            testenv::require("KV_CUPS_ENVDIR") + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << "the print server did not come back";
}

} // namespace testprinter
