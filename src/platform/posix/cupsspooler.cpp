#include "platform/posix/cupsspooler.h"

#include <cups/cups.h>

#include <algorithm>
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
        error = "cannot reach the print server " + e.host + ": " + cupsLastErrorString();
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

// A raw job on one printer, sent as one Print-Job request whose document
// follows the request as it is written: one request to the server per job
// rather than a Create-Job and a Send-Document. The server creates the job
// only once it holds the whole document, so a document that is cut off
// (a failed write, a close without endDocument) leaves no job behind, and
// CUPS will not take a document without bytes, so the request is sent only
// with the first bytes: a document that stays empty leaves nothing either.
// Each call has a budget of its own: never one call more than one budget.
class CupsPrinter final : public PrinterHandle {
public:
    CupsPrinter(Http http, std::chrono::milliseconds timeout, std::string name)
        : m_timeout(timeout), m_name(std::move(name)), m_http(std::move(http))
    {
        bindBudget(m_http.get(), m_budget);
    }

    // A request still open is dropped with its connection: the server then
    // discards the half document.
    ~CupsPrinter() override = default;

    bool startDocument(const DocInfo &doc) override
    {
        // Printing to a file is not something a receipt printer offers.
        if (m_docOpen || doc.outputFile || !m_http)
            return false;
        m_doc = doc;
        m_docOpen = true;
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

    // True only when the server has taken the whole document.
    bool endDocument() override
    {
        if (!m_docOpen)
            return false;
        m_budget = Budget(m_timeout);
        m_docOpen = false;
        if (m_failed)
            return false;
        if (!m_sending)
            return true;
        m_sending = false;
        Ipp reply(cupsGetResponse(m_http.get(), "/"));
        if (!reply || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
            fail();
            return false;
        }
        return true;
    }

private:
    // The request body may be half sent: that connection is of no further
    // use, and dropping it is what tells the server to discard the job.
    void fail()
    {
        m_failed = true;
        m_sending = false;
        m_http.reset();
    }

    bool beginJob()
    {
        ipp_t *request = newRequest(IPP_OP_PRINT_JOB);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(m_name).c_str());
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, m_doc.documentName.c_str());
        const char *format = m_doc.dataType ? m_doc.dataType->c_str() : CUPS_FORMAT_RAW;
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
        const Ipp owned(request);
        if (cupsSendRequest(m_http.get(), request, "/", CUPS_LENGTH_VARIABLE) != HTTP_STATUS_CONTINUE)
            return false;
        m_sending = true;
        return true;
    }

    std::chrono::milliseconds m_timeout;
    std::string m_name;
    // The libcups callback holds its address: it outlives m_http.
    Budget m_budget{std::chrono::milliseconds(0)};
    Http m_http;
    DocInfo m_doc;
    bool m_docOpen = false;
    bool m_failed = false;
    // The Print-Job request is out and its document is being sent.
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
    // Asking the queue proves that it exists and that the server answers,
    // before anyone writes to it. A queue that refuses jobs fails here too,
    // so that the caller can say so before it prints anything: the job
    // itself is only sent with the first bytes and answered at its end.
    ipp_t *request = newRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri(name).c_str());
    static const char *const attributes[] = {"printer-name", "printer-is-accepting-jobs"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, attributes);
    ipp_status_t status;
    Ipp reply = ask(http.get(), request, status, m_lastError);
    if (!reply) {
        m_lastError = "cannot open printer " + name + ": " + m_lastError;
        return nullptr;
    }
    ipp_attribute_t *accepting = ippFindAttribute(reply.get(), "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
    if (accepting && !ippGetBoolean(accepting, 0)) {
        m_lastError = "cannot open printer " + name + ": the queue does not accept jobs";
        return nullptr;
    }
    return std::make_unique<CupsPrinter>(std::move(http), m_timeout, name);
}

} // namespace kv::platform
