// Waits for the test printer's next job without polling: the test printer
// renames each finished job into place as job-NNNNNN.bin, and inotify says
// when. A poll loop would share the two cores with the print server and the
// backend it starts, and slow the very job it waits for.
#pragma once

#include "testprinter.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <sys/stat.h>

namespace benchprint {

class PrinterWatch {
public:
    explicit PrinterWatch(const testprinter::TestPrinter &printer)
        : m_dir(std::string(std::getenv("KV_TESTPRINTER_DIR") ? std::getenv("KV_TESTPRINTER_DIR") : "") + "/" +
                printer.queue())
    {
        m_fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (m_fd < 0 || ::inotify_add_watch(m_fd, m_dir.c_str(), IN_MOVED_TO) < 0)
            throw std::runtime_error("cannot watch the test printer's directory " + m_dir);
        m_jobs = printer.jobsReceived();
    }
    ~PrinterWatch() { ::close(m_fd); }
    PrinterWatch(const PrinterWatch &) = delete;
    PrinterWatch &operator=(const PrinterWatch &) = delete;

    // The jobs the printer had when the watch last waited (or was made).
    int jobs() const { return m_jobs; }

    // Blocks until the printer's next job is complete; false after `timeout`.
    bool waitForNextJob(std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        const std::string next = jobPath(m_jobs + 1);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            drain();
            struct stat st;
            if (::stat(next.c_str(), &st) == 0) {
                ++m_jobs;
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{m_fd, POLLIN, 0};
            ::poll(&p, 1, int(left.count()));
        }
    }

private:
    std::string jobPath(int n) const
    {
        char name[32];
        std::snprintf(name, sizeof name, "/job-%06d.bin", n);
        return m_dir + name;
    }

    void drain()
    {
        char buffer[4096];
        while (::read(m_fd, buffer, sizeof buffer) > 0) {
        }
    }

    std::string m_dir;
    int m_fd = -1;
    int m_jobs = 0;
};

} // namespace benchprint
