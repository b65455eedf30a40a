#include "platform/posix/cupsspooler.h"

#include <cups/cups.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

namespace kv::platform {

namespace {

struct HttpCloser {
    void operator()(http_t *http) const { httpClose(http); }
};
using Http = std::unique_ptr<http_t, HttpCloser>;

struct IppDeleter {
    void operator()(ipp_t *ipp) const { ippDelete(ipp); }
};
using Ipp = std::unique_ptr<ipp_t, IppDeleter>;

struct Endpoint {
    std::string host;
    int port = 0;
};

// Same forms as CUPS_SERVER: "/socket", "host", "host:port", "[v6]:port",
// each perhaps followed by "/version=…", which only libcups itself honours.
Endpoint endpointOf(const std::string &server)
{
    if (server.empty())
        return {cupsServer(), ippPort()};
    if (server.front() == '/')
        return {server, ippPort()};
    std::string s = server.substr(0, server.find("/version="));
    Endpoint e{s, ippPort()};
    std::size_t colon = std::string::npos;
    if (s.front() == '[') {
        const std::size_t close = s.find(']');
        if (close != std::string::npos) {
            e.host = s.substr(1, close - 1);
            if (close + 1 < s.size() && s[close + 1] == ':')
                colon = close + 1;
        }
    } else if (s.find(':') == s.rfind(':')) {
        colon = s.find(':');
        if (colon != std::string::npos)
            e.host = s.substr(0, colon);
    }
    if (colon != std::string::npos) {
        try {
            e.port = std::stoi(s.substr(colon + 1));
        } catch (...) {
            e.port = ippPort();
        }
    }
    return e;
}

using SteadyClock = std::chrono::steady_clock;

// The time one call of the spooler may take, whatever libcups does inside it:
// every wait of libcups asks stillInBudget() each kSlice, so a server that
// hangs costs the caller the budget and no more.
struct Budget {
    SteadyClock::time_point until;

    explicit Budget(std::chrono::milliseconds limit) : until(SteadyClock::now() + limit) {}

    std::chrono::milliseconds left() const
    {
        return std::max(std::chrono::milliseconds(0),
                        std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now()));
    }
};

constexpr std::chrono::milliseconds kSlice{200};

// libcups: 1 waits another slice, 0 gives up.
int stillInBudget(http_t *, void *budget)
{
    return SteadyClock::now() < static_cast<const Budget *>(budget)->until ? 1 : 0;
}

void bindBudget(http_t *http, const Budget &budget)
{
    httpSetTimeout(http, double(kSlice.count()) / 1000.0, stillInBudget, const_cast<Budget *>(&budget));
}

Http connectTo(const std::string &server, const Budget &budget, std::string &error)
{
    const Endpoint e = endpointOf(server);
    const int ms = int(budget.left().count());
    if (ms <= 0) {
        error = "no time left to reach the print server " + e.host;
        return nullptr;
    }
    Http http(httpConnect2(e.host.c_str(), e.port, nullptr, AF_UNSPEC, cupsEncryption(), 1, ms, nullptr));
    if (!http) {
        // A failed connect leaves libcups's error text as it was: the cause is errno's.
        error = "cannot reach the print server " + e.host + ": " + (errno ? std::strerror(errno) : "no answer in time");
        return nullptr;
    }
    bindBudget(http.get(), budget);
    return http;
}

ipp_t *newRequest(ipp_op_t op)
{
    ipp_t *request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return request;
}

std::string printerUri(const std::string &name)
{
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", name.c_str());
    return uri;
}

// Sends the request; a reply with an error status counts as none. `status`
// tells "not found" apart from a server that did not answer.
Ipp ask(http_t *http, ipp_t *request, ipp_status_t &status, std::string &error)
{
    Ipp reply(cupsDoRequest(http, request, "/"));
    status = cupsLastError();
    if (!reply || status > IPP_STATUS_OK_CONFLICTING) {
        error = cupsLastErrorString();
        return nullptr;
    }
    return reply;
}

// The server's answer to a request: none at all (the budget ran out, the
// connection broke), or a reply with its status.
struct Answer {
    Ipp reply;
    ipp_status_t status = IPP_STATUS_ERROR_INTERNAL;

    bool answered() const { return reply != nullptr; }
    bool ok() const { return reply && status <= IPP_STATUS_OK_CONFLICTING; }
};

Answer call(http_t *http, ipp_t *request, std::string &error)
{
    Answer a{Ipp(cupsDoRequest(http, request, "/"))};
    a.status = a.reply ? ippGetStatusCode(a.reply.get()) : cupsLastError();
    if (!a.ok())
        error = cupsLastErrorString();
    return a;
}

ipp_t *jobRequest(ipp_op_t op, const std::string &printer, int jobId)
{
    ipp_t *request = newRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(printer).c_str());
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
    return request;
}

struct JobState {
    int id = 0;
    std::string name;
    ipp_jstate_t state = IPP_JSTATE_PENDING;
};

// The printer's jobs (whichJobs as IPP has it: "not-completed", "all"), or
// nullopt without an answer. The server shows a job's name to its owner: the
// requesting user, as with every job of ours.
std::optional<std::vector<JobState>> listJobs(http_t *http, const std::string &printer, const char *whichJobs,
                                              std::string &error)
{
    ipp_t *request = newRequest(IPP_OP_GET_JOBS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(printer).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, whichJobs);
    // A second or so after a job ends, CUPS lets go of its attributes and lists it from what it keeps in memory,
    // which has no name: asked for an attribute it does not keep (job-hold-until), it reads the job back first.
    static const char *const attributes[] = {"job-id", "job-name", "job-state", "job-hold-until"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr, attributes);
    const Answer answer = call(http, request, error);
    if (!answer.ok() && answer.status != IPP_STATUS_ERROR_NOT_FOUND)
        return std::nullopt;
    std::vector<JobState> jobs;
    ipp_t *reply = answer.reply.get();
    // Each job is a group of its own, the groups apart by a separator.
    for (ipp_attribute_t *a = reply ? ippFirstAttribute(reply) : nullptr; a; a = ippNextAttribute(reply)) {
        if (ippGetGroupTag(a) != IPP_TAG_JOB)
            continue;
        JobState job;
        for (; a && ippGetGroupTag(a) == IPP_TAG_JOB; a = ippNextAttribute(reply)) {
            const std::string name = ippGetName(a) ? ippGetName(a) : "";
            if (name == "job-id")
                job.id = ippGetInteger(a, 0);
            else if (name == "job-name")
                job.name = ippGetString(a, 0, nullptr) ? ippGetString(a, 0, nullptr) : "";
            else if (name == "job-state")
                job.state = ipp_jstate_t(ippGetInteger(a, 0));
        }
        jobs.push_back(job);
        if (!a)
            break;
    }
    return jobs;
}

bool cancelJob(http_t *http, const std::string &printer, int jobId, std::string &error)
{
    return call(http, jobRequest(IPP_OP_CANCEL_JOB, printer, jobId), error).ok();
}

// A raw job on one printer, created held (job-hold-until=indefinite), its
// document sent as it is written (Send-Document, last-document), and let go
// (Release-Job) only when the caller says so, after the server has answered
// that it holds the whole document. A run that dies or a connection that breaks in mid-document
// thus leaves at most a held job, which never prints: a server that takes a
// cut-off document as whole (as CUPS does when a chunked upload just ends)
// still prints nothing of it. The job is created with the first bytes: a
// document that stays empty leaves nothing at all.
// Each call has a budget of its own: never one call more than one budget.
class CupsPrinter final : public PrinterHandle {
public:
    CupsPrinter(Http http, std::chrono::milliseconds timeout, std::string name,
                std::function<void(const char *)> requestHook, std::vector<std::string> reasons, bool stopped)
        : m_timeout(timeout), m_name(std::move(name)), m_requestHook(std::move(requestHook)),
          m_http(std::move(http)), m_reasons(std::move(reasons)), m_stopped(stopped)
    {
        bindBudget(m_http.get(), m_budget);
    }

    // A document still being sent is dropped with its connection: its job
    // stays held.
    ~CupsPrinter() override = default;

    bool startDocument(const DocInfo &doc) override
    {
        // Printing to a file is not something a receipt printer offers.
        if (m_docOpen || doc.outputFile || !m_http)
            return false;
        m_doc = doc;
        m_job = JobRef{m_name, doc.documentName, 0};
        m_docOpen = true;
        m_finished = false;
        m_failed = false;
        m_sending = false;
        return true;
    }

    // CUPS has no pages in a raw job: the printer sees only bytes.
    bool startPage() override { return m_docOpen; }
    bool endPage() override { return m_docOpen; }

    bool write(std::string_view bytes, std::size_t &written) override
    {
        written = 0;
        if (!m_docOpen || m_failed)
            return false;
        if (bytes.empty())
            return true;
        m_budget = Budget(m_timeout);
        if ((!m_sending && !beginJob()) ||
            cupsWriteRequestData(m_http.get(), bytes.data(), bytes.size()) != HTTP_STATUS_CONTINUE) {
            fail();
            return false;
        }
        written = bytes.size();
        return true;
    }

    // True only when the server holds the whole document (held).
    bool finishDocument() override
    {
        if (!m_docOpen)
            return false;
        m_budget = Budget(m_timeout);
        m_docOpen = false;
        if (m_failed)
            return false;
        if (!m_sending)
            return true; // nothing to print, no job
        m_sending = false;
        hook("Send-Document");
        const Ipp sent(cupsGetResponse(m_http.get(), "/"));
        if (!sent || ippGetStatusCode(sent.get()) > IPP_STATUS_OK_CONFLICTING) {
            fail();
            return false;
        }
        m_finished = true;
        return true;
    }

    bool release() override
    {
        if (!m_finished)
            return !m_failed && m_job.id == 0; // a document without a job
        m_finished = false;
        m_budget = Budget(m_timeout);
        hook("Release-Job");
        std::string error;
        // A release that got no answer may have happened all the same.
        if (!call(m_http.get(), jobRequest(IPP_OP_RELEASE_JOB, m_name, m_job.id), error).ok()) {
            fail();
            return false;
        }
        return true;
    }

    JobRef job() const override { return m_job; }
    std::vector<std::string> stateReasons() const override { return m_reasons; }
    bool queueStopped() const override { return m_stopped; }

private:
    void hook(const char *operation) const
    {
        if (m_requestHook)
            m_requestHook(operation);
    }

    // The request body may be half sent: that connection is of no further
    // use. A job the server has stays held until followJob cancels it.
    void fail()
    {
        m_failed = true;
        m_sending = false;
        m_http.reset();
    }

    bool beginJob()
    {
        ipp_t *create = newRequest(IPP_OP_CREATE_JOB);
        ippAddString(create, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(m_name).c_str());
        ippAddString(create, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, m_doc.documentName.c_str());
        ippAddString(create, IPP_TAG_JOB, IPP_TAG_KEYWORD, "job-hold-until", nullptr, "indefinite");
        hook("Create-Job");
        std::string error;
        const Answer created = call(m_http.get(), create, error);
        if (!created.ok())
            return false;
        ipp_attribute_t *id = ippFindAttribute(created.reply.get(), "job-id", IPP_TAG_INTEGER);
        m_job.id = id ? ippGetInteger(id, 0) : 0;
        if (m_job.id <= 0)
            return false;

        ipp_t *request = jobRequest(IPP_OP_SEND_DOCUMENT, m_name, m_job.id);
        const char *format = m_doc.dataType ? m_doc.dataType->c_str() : CUPS_FORMAT_RAW;
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
        ippAddBoolean(request, IPP_TAG_OPERATION, "last-document", 1);
        const Ipp owned(request);
        if (cupsSendRequest(m_http.get(), request, "/", CUPS_LENGTH_VARIABLE) != HTTP_STATUS_CONTINUE)
            return false;
        m_sending = true;
        return true;
    }

    std::chrono::milliseconds m_timeout;
    std::string m_name;
    std::function<void(const char *)> m_requestHook;
    // The libcups callback holds its address: it outlives m_http.
    Budget m_budget{std::chrono::milliseconds(0)};
    Http m_http;
    std::vector<std::string> m_reasons;
    bool m_stopped = false;
    DocInfo m_doc;
    JobRef m_job;
    bool m_docOpen = false;
    // The server holds the whole document, not yet let go.
    bool m_finished = false;
    bool m_failed = false;
    // The Send-Document request is out and its document is being sent.
    bool m_sending = false;
};

} // namespace

CupsSpooler::CupsSpooler(std::string server, std::chrono::milliseconds timeout)
    : m_server(std::move(server)), m_timeout(timeout)
{
}

std::vector<std::string> CupsSpooler::printers()
{
    std::vector<std::string> names;
    const Budget budget(m_timeout);
    Http http = connectTo(m_server, budget, m_lastError);
    if (!http)
        return names;
    ipp_t *request = newRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "printer-name");
    ipp_status_t status;
    Ipp reply = ask(http.get(), request, status, m_lastError);
    if (status == IPP_STATUS_ERROR_NOT_FOUND)
        m_lastError.clear(); // a server without printers says so this way
    // The server's order is the enumeration order (CUPS sorts by name).
    for (ipp_attribute_t *a = reply ? ippFindAttribute(reply.get(), "printer-name", IPP_TAG_NAME) : nullptr; a;
         a = ippFindNextAttribute(reply.get(), "printer-name", IPP_TAG_NAME))
        names.emplace_back(ippGetString(a, 0, nullptr));
    return names;
}

std::string CupsSpooler::defaultPrinter()
{
    // The server's default is the system's; a user's lpoptions choice is a
    // matter between that user and lp, not the till.
    const Budget budget(m_timeout);
    Http http = connectTo(m_server, budget, m_lastError);
    if (!http)
        return {};
    ipp_t *request = newRequest(IPP_OP_CUPS_GET_DEFAULT);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "printer-name");
    ipp_status_t status;
    Ipp reply = ask(http.get(), request, status, m_lastError);
    ipp_attribute_t *a = reply ? ippFindAttribute(reply.get(), "printer-name", IPP_TAG_NAME) : nullptr;
    return a ? ippGetString(a, 0, nullptr) : std::string();
}

namespace {

// What opening a queue learns of it.
struct Queue {
    std::vector<std::string> reasons;
    bool stopped = false;
};

// Asking the queue proves that it exists and that the server answers,
// before anyone writes to it. A queue that refuses jobs fails here too,
// so that the caller can say so before it prints anything: the job
// itself is only sent with the first bytes and answered at its end.
std::optional<Queue> askQueue(http_t *http, const std::string &name, std::string &lastError)
{
    ipp_t *request = newRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(name).c_str());
    static const char *const attributes[] = {"printer-name", "printer-is-accepting-jobs", "printer-state-reasons",
                                             "printer-state"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 4, nullptr, attributes);
    ipp_status_t status;
    Ipp reply = ask(http, request, status, lastError);
    if (!reply) {
        lastError = "cannot open printer " + name + ": " + lastError;
        return std::nullopt;
    }
    ipp_attribute_t *accepting = ippFindAttribute(reply.get(), "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
    if (accepting && !ippGetBoolean(accepting, 0)) {
        lastError = "cannot open printer " + name + ": the queue does not accept jobs";
        return std::nullopt;
    }
    Queue queue;
    if (ipp_attribute_t *r = ippFindAttribute(reply.get(), "printer-state-reasons", IPP_TAG_KEYWORD)) {
        for (int i = 0; i < ippGetCount(r); ++i)
            if (const char *reason = ippGetString(r, i, nullptr); reason && std::string_view(reason) != "none")
                queue.reasons.emplace_back(reason);
    }
    ipp_attribute_t *state = ippFindAttribute(reply.get(), "printer-state", IPP_TAG_ENUM);
    queue.stopped = state && ippGetInteger(state, 0) == IPP_PSTATE_STOPPED;
    return queue;
}

} // namespace

std::unique_ptr<PrinterHandle> CupsSpooler::openPrinter(const std::string &name)
{
    if (name.empty()) {
        m_lastError = "no printer name";
        return nullptr;
    }
    const Budget budget(m_timeout);
    Http http = connectTo(m_server, budget, m_lastError);
    if (!http)
        return nullptr;
    std::optional<Queue> queue = askQueue(http.get(), name, m_lastError);
    if (!queue)
        return nullptr;
    return std::make_unique<CupsPrinter>(std::move(http), m_timeout, name, m_requestHook, std::move(queue->reasons),
                                         queue->stopped);
}

std::optional<std::vector<std::string>> CupsSpooler::printerReasons(const std::string &name)
{
    if (name.empty()) {
        m_lastError = "no printer name";
        return std::nullopt;
    }
    const Budget budget(m_timeout);
    // The kept connection may have been closed by the server since (it
    // drops idle clients, or restarted): one more try on a new one. A
    // failed ask keeps no connection, so that a queue that is not there
    // costs what it did before.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool fresh = !m_kept;
        if (fresh) {
            Http http = connectTo(m_server, budget, m_lastError);
            if (!http)
                return std::nullopt;
            m_kept = std::shared_ptr<void>(http.release(), [](void *h) { httpClose(static_cast<http_t *>(h)); });
        }
        http_t *http = static_cast<http_t *>(m_kept.get());
        bindBudget(http, budget);
        std::optional<Queue> queue = askQueue(http, name, m_lastError);
        // The budget lives on this call's stack only.
        httpSetTimeout(http, 30.0, nullptr, nullptr);
        if (queue)
            return std::move(queue->reasons);
        m_kept.reset();
        if (fresh)
            return std::nullopt;
    }
    return std::nullopt;
}

JobStage CupsSpooler::followJob(const JobRef &job)
{
    const Budget budget(m_timeout);
    Http http = connectTo(m_server, budget, m_lastError);
    if (!http)
        return JobStage::Unknown;
    std::optional<JobState> newest;
    if (job.id > 0) {
        // A server that lost its jobs in a power cut gives their numbers to
        // the next jobs: the number counts only with the job's name. A
        // server that hides job names from a client it cannot tell is the
        // job's owner (one reached over the network) shows none: then the
        // number alone.
        ipp_t *request = jobRequest(IPP_OP_GET_JOB_ATTRIBUTES, job.printer, job.id);
        static const char *const attributes[] = {"job-name", "job-state"};
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, attributes);
        const Answer answer = call(http.get(), request, m_lastError);
        if (!answer.answered() || (!answer.ok() && answer.status != IPP_STATUS_ERROR_NOT_FOUND))
            return JobStage::Unknown;
        ipp_attribute_t *state = answer.ok() ? ippFindAttribute(answer.reply.get(), "job-state", IPP_TAG_ENUM)
                                             : nullptr;
        ipp_attribute_t *name = answer.ok() ? ippFindAttribute(answer.reply.get(), "job-name", IPP_TAG_NAME)
                                            : nullptr;
        const char *shown = name ? ippGetString(name, 0, nullptr) : nullptr;
        if (!state || (shown && *shown && job.name != shown))
            return JobStage::Gone;
        newest = JobState{job.id, job.name, ipp_jstate_t(ippGetInteger(state, 0))};
    } else {
        const auto jobs = listJobs(http.get(), job.printer, "all", m_lastError);
        if (!jobs)
            return JobStage::Unknown;
        for (const JobState &j : *jobs) {
            if (!j.name.empty() && j.name == job.name && (!newest || j.id > newest->id))
                newest = j;
        }
        if (!newest)
            return JobStage::Gone;
    }
    switch (newest->state) {
    case IPP_JSTATE_COMPLETED:
        return JobStage::Printed;
    case IPP_JSTATE_CANCELED:
    case IPP_JSTATE_ABORTED:
        return JobStage::Cancelled;
    case IPP_JSTATE_HELD:
        // Never let go: its sender died or lost the answer before the
        // release. Cancelled, it can never print beside its replacement.
        return cancelJob(http.get(), job.printer, newest->id, m_lastError) ? JobStage::Gone : JobStage::Unknown;
    default:
        // Pending, printing, or stopped with its printer.
        return JobStage::Waiting;
    }
}

std::optional<int> CupsSpooler::cancelHeldJobs(const std::string &printer, const std::string &namePrefix)
{
    const Budget budget(m_timeout);
    Http http = connectTo(m_server, budget, m_lastError);
    if (!http)
        return std::nullopt;
    const auto jobs = listJobs(http.get(), printer, "not-completed", m_lastError);
    if (!jobs)
        return std::nullopt;
    m_lastError.clear();
    int cancelled = 0;
    for (const JobState &j : *jobs) {
        if (j.state == IPP_JSTATE_HELD && j.name.compare(0, namePrefix.size(), namePrefix) == 0) {
            std::string error;
            if (cancelJob(http.get(), printer, j.id, error))
                ++cancelled;
            else
                m_lastError = "job " + std::to_string(j.id) + " was not cancelled: " + error;
        }
    }
    return cancelled;
}

} // namespace kv::platform
