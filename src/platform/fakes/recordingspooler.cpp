#include "platform/fakes/recordingspooler.h"

#include <algorithm>

namespace kv::platform {

struct RecordingSpooler::State {
    std::vector<std::string> installed;
    std::string defaultName;
    bool reachable = true;
    bool failStartDocument = false;
    bool failWrites = false;
    bool failEndDocument = false;
    std::optional<bool> endAnswerLost;
    bool lookupsAnswered = true;
    bool jobsPrint = true;
    std::vector<std::string> stateReasons;
    // What the fake server has of each job a document created.
    enum class Server { Held, Taken, Printed, Cancelled };
    struct Job {
        JobRef ref;
        Server state = Server::Held;
    };
    std::vector<Job> jobs;
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

    Job *find(const JobRef &ref)
    {
        for (Job &job : jobs) {
            if (job.ref.printer == ref.printer && (ref.id > 0 ? job.ref.id == ref.id : job.ref.name == ref.name))
                return &job;
        }
        return nullptr;
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
        m_state->ops.back().doc = doc;
        m_job = JobRef{m_printer, doc.documentName, 0};
        m_fate = JobFate::NotTaken;
        return !m_state->failStartDocument;
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
        // As with CUPS, the first bytes create the job, held until its end.
        if (m_job.id == 0) {
            m_job.id = int(m_state->jobs.size()) + 1;
            m_state->jobs.push_back({m_job, Server::Held});
            m_fate = JobFate::Unknown;
        }
        written = m_state->failWrites ? 0 : bytes.size();
        m_writeFailed = m_writeFailed || m_state->failWrites;
        return !m_state->failWrites;
    }

    bool endPage() override
    {
        m_state->record(Kind::EndPage, m_printer);
        return true;
    }

    bool endDocument() override
    {
        m_state->record(Kind::EndDocument, m_printer);
        // As a spooler does, a document with a hole in it is not handed on.
        const bool taken = !m_writeFailed && !m_state->failEndDocument && !m_state->endAnswerLost;
        m_writeFailed = false;
        RecordingSpooler::State::Job *onServer = m_job.id > 0 ? m_state->find(m_job) : nullptr;
        if (onServer && (taken || m_state->endAnswerLost.value_or(false)))
            onServer->state = m_state->jobsPrint ? Server::Printed : Server::Taken;
        // A job the server has stays Unknown to us unless it said it took it.
        if (taken || !onServer)
            m_fate = taken ? JobFate::Taken : JobFate::NotTaken;
        return taken;
    }

    JobFate fate() const override { return m_fate; }
    JobRef job() const override { return m_job; }
    std::vector<std::string> stateReasons() const override { return m_state->stateReasons; }

private:
    using Kind = RecordingSpooler::Op::Kind;
    using Server = RecordingSpooler::State::Server;
    std::shared_ptr<RecordingSpooler::State> m_state;
    std::string m_printer;
    bool m_writeFailed = false;
    JobRef m_job;
    JobFate m_fate = JobFate::NotTaken;
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
void RecordingSpooler::setFailStartDocument(bool fail) { m_state->failStartDocument = fail; }
void RecordingSpooler::setFailWrites(bool fail) { m_state->failWrites = fail; }
void RecordingSpooler::setFailEndDocument(bool fail) { m_state->failEndDocument = fail; }
void RecordingSpooler::setEndAnswerLost(std::optional<bool> serverTookIt) { m_state->endAnswerLost = serverTookIt; }
void RecordingSpooler::setLookupsAnswered(bool answered) { m_state->lookupsAnswered = answered; }

void RecordingSpooler::setJobsPrint(bool print)
{
    m_state->jobsPrint = print;
    if (print) {
        for (State::Job &job : m_state->jobs) {
            if (job.state == State::Server::Taken)
                job.state = State::Server::Printed;
        }
    }
}

void RecordingSpooler::forgetJobs()
{
    // Numbers are handed out again from where the server last saved them.
    for (State::Job &job : m_state->jobs)
        job.ref.name += " (forgotten)";
}

void RecordingSpooler::setStateReasons(std::vector<std::string> reasons) { m_state->stateReasons = std::move(reasons); }

int RecordingSpooler::heldJobs() const
{
    return int(std::count_if(m_state->jobs.begin(), m_state->jobs.end(),
                             [](const State::Job &j) { return j.state == State::Server::Held; }));
}

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

std::vector<RecordingSpooler::Op::Kind> RecordingSpooler::kinds() const
{
    std::vector<Op::Kind> out;
    for (const Op &op : m_state->ops)
        out.push_back(op.kind);
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
    m_state->ops.back().ok = ok;
    if (!ok) {
        m_state->lastError = m_state->reachable ? "no printer named " + name : "print server not reachable";
        return nullptr;
    }
    m_state->lastError.clear();
    return std::make_unique<RecordingHandle>(m_state, name);
}

JobFate RecordingSpooler::settleJob(const JobRef &job)
{
    m_state->record(Op::Kind::Settle, job.printer);
    m_state->ops.back().job = job;
    if (!m_state->lookupsAnswered) {
        m_state->lastError = "print server not answering";
        return JobFate::Unknown;
    }
    State::Job *found = m_state->find(job);
    if (!found)
        return JobFate::NotTaken;
    if (found->state == State::Server::Held)
        found->state = State::Server::Cancelled;
    return found->state == State::Server::Cancelled ? JobFate::NotTaken : JobFate::Taken;
}

JobStage RecordingSpooler::followJob(const JobRef &job)
{
    m_state->record(Op::Kind::Follow, job.printer);
    m_state->ops.back().job = job;
    if (!m_state->lookupsAnswered) {
        m_state->lastError = "print server not answering";
        return JobStage::Unknown;
    }
    State::Job *newest = nullptr;
    for (State::Job &j : m_state->jobs) {
        if (j.ref.printer == job.printer && j.ref.name == job.name && (job.id <= 0 || j.ref.id == job.id))
            newest = &j;
    }
    if (!newest)
        return JobStage::Gone;
    switch (newest->state) {
    case State::Server::Held:
        newest->state = State::Server::Cancelled;
        return JobStage::Gone;
    case State::Server::Taken: return JobStage::Waiting;
    case State::Server::Printed: return JobStage::Printed;
    case State::Server::Cancelled: return JobStage::Gone;
    }
    return JobStage::Unknown;
}

std::optional<int> RecordingSpooler::cancelHeldJobs(const std::string &printer, const std::string &namePrefix)
{
    m_state->record(Op::Kind::CancelHeld, printer);
    m_state->ops.back().job = JobRef{printer, namePrefix, 0};
    if (!m_state->lookupsAnswered) {
        m_state->lastError = "print server not answering";
        return std::nullopt;
    }
    m_state->lastError.clear();
    int cancelled = 0;
    for (State::Job &job : m_state->jobs) {
        if (job.state == State::Server::Held && job.ref.printer == printer &&
            job.ref.name.compare(0, namePrefix.size(), namePrefix) == 0) {
            job.state = State::Server::Cancelled;
            ++cancelled;
        }
    }
    return cancelled;
}

std::string RecordingSpooler::lastError() const { return m_state->lastError; }

const char *toString(RecordingSpooler::Op::Kind kind)
{
    using Kind = RecordingSpooler::Op::Kind;
    switch (kind) {
    case Kind::Open: return "Open";
    case Kind::StartDocument: return "StartDocument";
    case Kind::StartPage: return "StartPage";
    case Kind::Write: return "Write";
    case Kind::EndPage: return "EndPage";
    case Kind::EndDocument: return "EndDocument";
    case Kind::Close: return "Close";
    case Kind::Settle: return "Settle";
    case Kind::Follow: return "Follow";
    case Kind::CancelHeld: return "CancelHeld";
    }
    return "?";
}

} // namespace kv::platform
