// A spooler in memory that keeps every operation made on it, in order, so
// unit tests see what bytes at a real printer cannot show: write boundaries,
// pages, a job without bytes, a printer left open. Every job it is given
// prints at once; what becomes of jobs at a real print server is tried
// against one.
#pragma once

#include "platform/spooler.h"

#include <memory>
#include <string>
#include <vector>

namespace kv::platform {

class RecordingSpooler final : public Spooler {
public:
    struct Op {
        enum class Kind { Open, StartDocument, StartPage, Write, EndPage, EndDocument, Release, Close, Follow,
                          CancelHeld };
        Kind kind = Kind::Open;
        std::string printer;
        // Write: the bytes.
        std::string bytes;
    };

    RecordingSpooler();
    ~RecordingSpooler() override;

    // What the fake spooler has installed; open succeeds for exactly these
    // names (CUPS itself would also take another letter case).
    void setPrinters(std::vector<std::string> names, std::string defaultName = {});
    // Behaves like a print server that is not there: no printers, no
    // default, every open fails.
    void setReachable(bool reachable);
    // Makes writes fail (the write is recorded all the same); a document
    // that had a failed write also fails its end, as the interface promises.
    void setFailWrites(bool fail);
    // What printers opened from now on say about themselves.
    void setStateReasons(std::vector<std::string> reasons);

    const std::vector<Op> &ops() const;
    // The bytes of every write, one element per write, in order.
    std::vector<std::string> writes() const;
    // Every byte written, as one stream.
    std::string bytes() const;
    // Printers opened and not closed yet.
    int openHandles() const;
    void clearOps();

    std::vector<std::string> printers() override;
    std::string defaultPrinter() override;
    std::unique_ptr<PrinterHandle> openPrinter(const std::string &name) override;
    JobStage followJob(const JobRef &job) override;
    std::optional<int> cancelHeldJobs(const std::string &printer, const std::string &namePrefix) override;
    std::string lastError() const override;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace kv::platform
