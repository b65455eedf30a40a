// The private print server's queues and the test printers behind them (the
// "cups" fixture): what a queue's printer received since a mark, and which
// jobs the server holds.
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <string>
#include <vector>

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
    Mark mark() const;

    // Waits until `jobs` more jobs have reached the printer since the mark and
    // returns each job's bytes in arrival order. A job has reached it once the
    // print server's backend has stored all of it. Too few jobs within the timeout fail
    // the test; what did come is returned.
    std::vector<QByteArray> jobsSince(const Mark &mark, int jobs = 1,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // The same jobs' bytes as one stream.
    QByteArray bytesSince(const Mark &mark, int jobs = 1,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Jobs received so far, without waiting.
    int jobsReceived() const;

private:
    std::string m_queue;
    std::string m_dir;
};

// A job as the print server lists it.
struct ServerJob {
    int id = 0;
    std::string title;
    // "pending", "held", "processing", "stopped", "canceled", "aborted",
    // "completed".
    std::string state;
};
// Every job of the queue the server knows, finished ones included, oldest
// first.
std::vector<ServerJob> serverJobs(const std::string &queue);
// Waits until the server's job `id` has reached a finished state (canceled,
// aborted, completed) and returns it; fails the test on timeout.
ServerJob waitForJobEnd(const std::string &queue, int id,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The fixture's print server (cupsd) itself, for tests that stop or kill it
// in mid-job: its pid, and bringing it back (a stopped one is continued, a
// dead one started again on the same queues and jobs).
int printServerPid();
void restorePrintServer();

} // namespace testprinter
