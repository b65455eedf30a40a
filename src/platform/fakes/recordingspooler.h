// A spooler in memory that keeps every operation made on it, in order, so
// unit tests see what bytes at a real printer cannot show: write boundaries,
// pages, a job without bytes, a printer left open.
#pragma once

#include "platform/spooler.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kv::platform {

class RecordingSpooler final : public Spooler {
public:
    struct Op {
        enum class Kind { Open, StartDocument, StartPage, Write, EndPage, EndDocument, Close, Settle, Follow, CancelHeld };
        Kind kind = Kind::Open;
        std::string printer;
        // Open: whether it succeeded.
        bool ok = true;
        // Write: the bytes.
        std::string bytes;
        // StartDocument: the record it was given.
        DocInfo doc;
        // Settle, Follow: the job asked about; CancelHeld: the name prefix in
        // job.name.
        JobRef job;
    };

    RecordingSpooler();
    ~RecordingSpooler() override;

    // What the fake spooler has installed; open succeeds for exactly these
    // names (CUPS itself would also take another letter case).
    void setPrinters(std::vector<std::string> names, std::string defaultName = {});
    // Behaves like a print server that is not there: no printers, no
    // default, every open fails.
    void setReachable(bool reachable);
    // Makes starting documents, writing or ending documents fail (results
    // only: the operation is recorded all the same). A document that had a
    // failed write also fails its end, as the spooler interface promises.
    void setFailStartDocument(bool fail);
    void setFailWrites(bool fail);
    void setFailEndDocument(bool fail);
    // The answer to a document's end does not come: endDocument gives false
    // and the fate is Unknown, while the server has let the job go
    // (`serverTookIt`) or holds it. Unset: answers come.
    void setEndAnswerLost(std::optional<bool> serverTookIt);
    // Whether settleJob and cancelHeldJobs get an answer.
    void setLookupsAnswered(bool answered);
    // Whether the jobs let go print at once (the default), or wait until
    // setJobsPrint(true) prints them all.
    void setJobsPrint(bool print);
    // The server forgets every job it had, as one killed before it wrote
    // them to disk does.
    void forgetJobs();
    // What printers opened from now on say about themselves.
    void setStateReasons(std::vector<std::string> reasons);
    // The jobs the fake server holds, not let go: a document abandoned after
    // its first bytes (the server had its job), or whose end went unanswered.
    int heldJobs() const;

    const std::vector<Op> &ops() const;
    // The bytes of every write, one element per write, in order.
    std::vector<std::string> writes() const;
    // Every byte written, as one stream.
    std::string bytes() const;
    // The kinds of all operations, for checking sequences.
    std::vector<Op::Kind> kinds() const;
    // Printers opened and not closed yet.
    int openHandles() const;
    void clearOps();

    std::vector<std::string> printers() override;
    std::string defaultPrinter() override;
    std::unique_ptr<PrinterHandle> openPrinter(const std::string &name) override;
    JobFate settleJob(const JobRef &job) override;
    JobStage followJob(const JobRef &job) override;
    std::optional<int> cancelHeldJobs(const std::string &printer, const std::string &namePrefix) override;
    std::string lastError() const override;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

const char *toString(RecordingSpooler::Op::Kind kind);

} // namespace kv::platform
