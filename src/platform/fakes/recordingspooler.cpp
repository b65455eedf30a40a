#include "platform/fakes/recordingspooler.h"

#include <algorithm>

namespace kv::platform {

struct RecordingSpooler::State {
    std::vector<std::string> installed;
    std::string defaultName;
    bool reachable = true;
    bool failWrites = false;
    std::vector<std::string> stateReasons;
    int jobs = 0;
    std::vector<Op> ops;
    int openHandles = 0;
    std::string lastError;

    void record(Op::Kind kind, const std::string &printer)
    {
        Op op;
        op.kind = kind;
        op.printer = printer;
        ops.push_back(std::move(op));
    }
};

namespace {

// Shares the state with the spooler, so a handle that outlives it stays safe.
class RecordingHandle final : public PrinterHandle {
public:
    RecordingHandle(std::shared_ptr<RecordingSpooler::State> state, std::string printer)
        : m_state(std::move(state)), m_printer(std::move(printer))
    {
        ++m_state->openHandles;
    }

    ~RecordingHandle() override
    {
        m_state->record(Kind::Close, m_printer);
        --m_state->openHandles;
    }

    bool startDocument(const DocInfo &doc) override
    {
        m_state->record(Kind::StartDocument, m_printer);
        m_job = JobRef{m_printer, doc.documentName, 0};
        m_writeFailed = false;
        return true;
    }

    bool startPage() override
    {
        m_state->record(Kind::StartPage, m_printer);
        return true;
    }

    bool write(std::string_view bytes, std::size_t &written) override
    {
        m_state->record(Kind::Write, m_printer);
        m_state->ops.back().bytes.assign(bytes.data(), bytes.size());
        // As with CUPS, the first bytes create the job.
        if (m_job.id == 0)
            m_job.id = ++m_state->jobs;
        written = m_state->failWrites ? 0 : bytes.size();
        m_writeFailed = m_writeFailed || m_state->failWrites;
        return !m_state->failWrites;
    }

    bool endPage() override
    {
        m_state->record(Kind::EndPage, m_printer);
        return true;
    }

    bool finishDocument() override
    {
        m_state->record(Kind::EndDocument, m_printer);
        // As a spooler does, a document with a hole in it is not handed on.
        return !m_writeFailed;
    }

    bool release() override
    {
        m_state->record(Kind::Release, m_printer);
        return !m_writeFailed;
    }

    JobRef job() const override { return m_job; }
    std::vector<std::string> stateReasons() const override { return m_state->stateReasons; }

private:
    using Kind = RecordingSpooler::Op::Kind;
    std::shared_ptr<RecordingSpooler::State> m_state;
    std::string m_printer;
    bool m_writeFailed = false;
    JobRef m_job;
};

} // namespace

RecordingSpooler::RecordingSpooler() : m_state(std::make_shared<State>()) {}

RecordingSpooler::~RecordingSpooler() = default;

void RecordingSpooler::setPrinters(std::vector<std::string> names, std::string defaultName)
{
    m_state->installed = std::move(names);
    m_state->defaultName = std::move(defaultName);
}

void RecordingSpooler::setReachable(bool reachable) { m_state->reachable = reachable; }
void RecordingSpooler::setFailWrites(bool fail) { m_state->failWrites = fail; }
void RecordingSpooler::setStateReasons(std::vector<std::string> reasons) { m_state->stateReasons = std::move(reasons); }

const std::vector<RecordingSpooler::Op> &RecordingSpooler::ops() const { return m_state->ops; }

std::vector<std::string> RecordingSpooler::writes() const
{
    std::vector<std::string> out;
    for (const Op &op : m_state->ops) {
        if (op.kind == Op::Kind::Write)
            out.push_back(op.bytes);
    }
    return out;
}

std::string RecordingSpooler::bytes() const
{
    std::string out;
    for (const std::string &w : writes())
        out += w;
    return out;
}

int RecordingSpooler::openHandles() const { return m_state->openHandles; }

void RecordingSpooler::clearOps() { m_state->ops.clear(); }

std::vector<std::string> RecordingSpooler::printers()
{
    return m_state->reachable ? m_state->installed : std::vector<std::string>{};
}

std::string RecordingSpooler::defaultPrinter()
{
    return m_state->reachable ? m_state->defaultName : std::string();
}

std::unique_ptr<PrinterHandle> RecordingSpooler::openPrinter(const std::string &name)
{
    const auto &installed = m_state->installed;
    const bool ok = m_state->reachable && std::find(installed.begin(), installed.end(), name) != installed.end();
    m_state->record(Op::Kind::Open, name);
    if (!ok) {
        m_state->lastError = m_state->reachable ? "no printer named " + name : "print server not reachable";
        return nullptr;
    }
    m_state->lastError.clear();
    return std::make_unique<RecordingHandle>(m_state, name);
}

JobStage RecordingSpooler::followJob(const JobRef &job)
{
    m_state->record(Op::Kind::Follow, job.printer);
    if (!m_state->reachable) {
        m_state->lastError = "print server not reachable";
        return JobStage::Unknown;
    }
    return job.id > 0 && job.id <= m_state->jobs ? JobStage::Printed : JobStage::Gone;
}

std::optional<int> RecordingSpooler::cancelHeldJobs(const std::string &printer, const std::string &)
{
    m_state->record(Op::Kind::CancelHeld, printer);
    if (!m_state->reachable) {
        m_state->lastError = "print server not reachable";
        return std::nullopt;
    }
    return 0;
}

std::string RecordingSpooler::lastError() const { return m_state->lastError; }

} // namespace kv::platform
