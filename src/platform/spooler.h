// The print spooler as the receipt printer needs it: which printers are
// installed, which one is the default, and raw jobs on a named printer.
// Standard library only; the CUPS implementation is in posix/, a recording
// fake for unit tests in fakes/.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::platform {

// What a job is started with; the document name is the job's name on the
// server. No output file means the printer itself; no data type means the
// bytes go to the printer as they are (a raw job).
struct DocInfo {
    std::string documentName;
    std::optional<std::string> outputFile;
    std::optional<std::string> dataType;

    bool operator==(const DocInfo &) const = default;
};

// Where a job handed over stands at the print server, looked up by its name.
enum class JobStage {
    // Completed: the printer's backend reported every byte on paper.
    Printed,
    // Still to print, printing, or waiting for its printer: it may yet print.
    Waiting,
    // It will never print from here on: the server does not know it (lost
    // with a server that died before it wrote the job to disk, or dropped
    // from its history), or it was still held and has now been cancelled.
    Gone,
    // Cancelled or aborted at the server (a manager cancelled a job that
    // looked stuck): what the printer confirmed of it is on paper, the rest
    // is not.
    Cancelled,
    // The server did not answer (within a bounded time), or a held job could
    // not be cancelled.
    Unknown,
};

// One job on one printer: the document name it was started with, which the
// caller makes unique, and the server's number for it (0 while the server
// has not told it).
struct JobRef {
    std::string printer;
    std::string name;
    int id = 0;
};

// One opened printer. Destroying it closes the printer; a document that was
// started and not released is then abandoned, not printed: the server may
// keep it as a held job, which never prints unless let go (see
// Spooler::followJob and Spooler::cancelHeldJobs).
class PrinterHandle {
public:
    virtual ~PrinterHandle() = default;
    PrinterHandle() = default;
    PrinterHandle(const PrinterHandle &) = delete;
    PrinterHandle &operator=(const PrinterHandle &) = delete;

    virtual bool startDocument(const DocInfo &doc) = 0;
    virtual bool startPage() = 0;
    // Sends the bytes as they are; `written` receives how many were taken.
    // After a failed write the document can no longer be printed whole.
    virtual bool write(std::string_view bytes, std::size_t &written) = 0;
    virtual bool endPage() = 0;
    // Ends the document: true only when the server holds all of it, held
    // and not yet printing (job() then has the server's number for it). A
    // document that had a failed write gives false. A document without a
    // byte makes no job and gives true.
    virtual bool finishDocument() = 0;
    // Lets the finished document print. False when the server did not
    // answer that it did: the job may be held or let go, and
    // Spooler::followJob tells which.
    virtual bool release() = 0;
    // Both, for a caller with nothing to record in between.
    bool endDocument() { return finishDocument() && release(); }
    // The last document's job.
    virtual JobRef job() const = 0;
    // Why the printer does not print, as the queue said when it was opened:
    // the server's printer-state-reasons ("media-empty-error",
    // "cover-open-error", "offline-report" ...); empty when all is well or
    // the spooler cannot tell.
    virtual std::vector<std::string> stateReasons() const { return {}; }
    // Whether the queue was stopped when it was opened: it keeps jobs
    // pending until someone starts it again.
    virtual bool queueStopped() const { return false; }
};

class Spooler {
public:
    virtual ~Spooler() = default;

    // Names of the installed printers, in the spooler's own order.
    virtual std::vector<std::string> printers() = 0;
    // The default printer's name; "" when there is none or the spooler cannot
    // be asked.
    virtual std::string defaultPrinter() = 0;
    // Opens the printer of that name; nullptr when there is no such printer
    // or the spooler cannot be reached (within a bounded time).
    virtual std::unique_ptr<PrinterHandle> openPrinter(const std::string &name) = 0;
    // Where the job stands (see JobStage). By its number when known, and
    // only while the server gives that number the job's name (a server that
    // lost its jobs hands their numbers out again): another name there
    // means the job is gone. Else by its name: when the server has several
    // of that name, the newest counts. A held one is cancelled first, so
    // that it can never print beside a document sent again in its place.
    virtual JobStage followJob(const JobRef &job) = 0;
    // Cancels the held jobs on `printer` whose names begin with `namePrefix`:
    // what a run that ended in mid-job left behind. The number cancelled;
    // nullopt when the server could not list them. A job that could not be
    // cancelled is not counted, and lastError() says so.
    virtual std::optional<int> cancelHeldJobs(const std::string &printer, const std::string &namePrefix) = 0;
    // Why the last operation failed, for logs and test failures.
    virtual std::string lastError() const = 0;
    // The printer's state reasons, as an opened printer has them; nullopt
    // when it could not be opened (lastError() says why). For a caller that
    // asks every few seconds and prints nothing.
    virtual std::optional<std::vector<std::string>> printerReasons(const std::string &name)
    {
        const std::unique_ptr<PrinterHandle> printer = openPrinter(name);
        return printer ? std::optional(printer->stateReasons()) : std::nullopt;
    }
};

} // namespace kv::platform
