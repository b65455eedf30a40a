// The private print server's queues and the test printers behind them (the
// "cups" fixture): what a queue's printer received since a mark.
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <string>

namespace testprinter {

// The fixture's default queue and one that is not the default.
std::string defaultQueue();
std::string otherQueue();

class TestPrinter {
public:
    // A queue of the fixture; a missing fixture fails the test loudly.
    explicit TestPrinter(std::string queue);

    const std::string &queue() const { return m_queue; }
    QString name() const { return QString::fromStdString(m_queue); }

    // Where the printer stands: take one before printing.
    struct Mark {
        int jobs = 0;
    };
    Mark mark() const { return Mark{jobsReceived()}; }

    // Waits until `jobs` more whole jobs have reached the printer since the
    // mark and returns their bytes; too few within the timeout fail the test.
    QByteArray bytesSince(const Mark &mark, int jobs = 1,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Jobs received so far, without waiting.
    int jobsReceived() const;

private:
    std::string m_queue;
    std::string m_dir;
};

// The fixture's print server (cupsd) itself, for tests that stop or kill it
// in mid-job: its pid, and bringing it back (a stopped one is continued, a
// dead one started again on the same queues and jobs).
int printServerPid();
void restorePrintServer();

} // namespace testprinter
