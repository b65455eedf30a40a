// The private print server's queues and the test printers behind them (the
// "cups" fixture): what a queue's printer received since a mark.
#pragma once

#include "platform/spooler.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <limits>
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
    Mark mark() const { return Mark{jobsReceived()}; }

    // Waits until `jobs` more whole jobs have reached the printer since the
    // mark and returns their bytes; too few within the timeout fail the test.
    QByteArray bytesSince(const Mark &mark, int jobs = 1,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Jobs received so far, without waiting.
    int jobsReceived() const;
    // What the next `jobs` connections since the mark printed, without waiting.
    QByteArray printedSince(const Mark &mark, int jobs = std::numeric_limits<int>::max()) const;
    // Tells the printer to misbehave (see demo/escposprinter.cpp: "paper-end
    // 1", "restart-after 300" ...); a refused order fails the test.
    void order(const std::string &line) const;
    // Connections taken so far, and bytes the printer holds unprinted.
    int connections() const;
    int held() const;
    // Points the queue at this printer through another backend
    // ("socket") or with options ("/?confirm=none"), as lpadmin -v does;
    // connectQueue("escpos") puts back what the fixture set up.
    void connectQueue(const std::string &scheme, const std::string &options = {}) const;
    // Points the queue at another device URI.
    void setDeviceUri(const std::string &uri) const;

private:
    std::string ask(const std::string &line) const;
    std::string jobFile(int n) const;

    std::string m_queue;
    std::string m_dir;
};

// Whether a spooler's handle took all of `bytes`.
inline bool writeAll(kv::platform::PrinterHandle &h, const std::string &bytes)
{
    std::size_t written = 0;
    return h.write(bytes, written) && written == bytes.size();
}

// `count` receipts tagged `tag`, each ending with the launcher's cut.
std::string receipts(const std::string &tag, int count, int first = 1);
// Hands a job (raw unless told) to a queue over libcups; its job id, 0 when
// refused (cupsLastErrorString() says why).
int submit(const std::string &queue, const std::string &bytes, int copies = 1, const char *format = nullptr,
           const char *title = "Korvantis test");
// The job's state on the fixture's print server (pending when unknown).
int jobState(const std::string &queue, int id);
// How the receipts of `tag` numbered first..last came out on paper.
struct Paper {
    int lost = 0, twice = 0;
    // Each receipt first printed after the ones before it.
    bool inOrder = true;
};
Paper readPaper(const QByteArray &printed, const std::string &tag, int last, int first = 1);

// One IPP request about `object` ("printers/Q", "classes/C", "jobs/ID") to
// the fixture's print server, as the tests' user; `setName` puts a printer
// attribute of URIs (device-uri, member-uris). Whether the server took it,
// and the first value of the attribute `asked`.
struct IppAnswer {
    bool ok = false;
    std::string text;
    int number = -1;
};
IppAnswer ipp(int operation, const std::string &object, const char *asked = nullptr, const char *setName = nullptr,
              const std::vector<std::string> &setUris = {});

// The fixture's print server (cupsd) itself, for tests that stop or kill it
// in mid-job: its pid, and bringing it back (a stopped one is continued, a
// dead one started again on the same queues and jobs).
int printServerPid();
void restorePrintServer();

} // namespace testprinter
