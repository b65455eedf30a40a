#include "testprinter.h"

#include "testenv.h"

#include <gtest/gtest.h>

#include <QFile>

#include <cups/cups.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

namespace testprinter {

std::string defaultQueue() { return testenv::require("KV_CUPS_DEFAULT_QUEUE"); }

std::string otherQueue() { return testenv::require("KV_CUPS_OTHER_QUEUE"); }

TestPrinter::TestPrinter(std::string queue)
    : m_queue(std::move(queue)), m_dir(testenv::require("KV_TESTPRINTER_DIR") + "/" + m_queue)
{
    if (!std::filesystem::is_directory(m_dir))
        throw std::runtime_error("the test printer of queue " + m_queue + " has no directory " + m_dir);
}

std::string TestPrinter::jobFile(int n) const { return m_dir + QString::asprintf("/job-%06d.bin", n).toStdString(); }

int TestPrinter::jobsReceived() const
{
    // Job files appear strictly in order, each complete once it exists.
    int n = 0;
    while (std::filesystem::exists(jobFile(n + 1)))
        ++n;
    return n;
}

QByteArray TestPrinter::bytesSince(const Mark &mark, int jobs, std::chrono::milliseconds timeout) const
{
    testenv::pollUntil([&] { return jobsReceived() >= mark.jobs + jobs; }, timeout);
    const int have = std::min(jobsReceived() - mark.jobs, jobs);
    EXPECT_EQ(have, jobs) << "test printer of " << m_queue << " received " << have << " of " << jobs
                          << " job(s) within " << timeout.count() << " ms";
    return printedSince(mark, have);
}

QByteArray TestPrinter::printedSince(const Mark &mark, int jobs) const
{
    QByteArray all;
    for (int n = mark.jobs + 1; n - mark.jobs <= jobs && std::filesystem::exists(jobFile(n)); ++n) {
        QFile f(QString::fromStdString(jobFile(n)));
        if (f.open(QIODevice::ReadOnly))
            all += f.readAll();
    }
    return all;
}

std::string TestPrinter::ask(const std::string &line) const
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string path = m_dir + "/control";
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        ::write(fd, (line + "\n").data(), line.size() + 1) == static_cast<ssize_t>(line.size() + 1)) {
        char buf[128];
        for (ssize_t n; reply.find('\n') == std::string::npos && (n = ::read(fd, buf, sizeof buf)) > 0;)
            reply.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
}

void TestPrinter::order(const std::string &line) const
{
    const std::string reply = ask(line);
    EXPECT_EQ(reply.substr(0, 2), "ok") << "the test printer of " << m_queue << " refused \"" << line << "\": " << reply;
}

namespace {
// A field of the printer's answer to "status": "ok connections=N jobs=N held=BYTES".
int field(const std::string &status, const std::string &name)
{
    const auto at = status.find(" " + name + "=");
    return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + name.size() + 2);
}
} // namespace

int TestPrinter::connections() const { return field(ask("status"), "connections"); }

int TestPrinter::held() const { return field(ask("status"), "held"); }

void TestPrinter::connectQueue(const std::string &scheme, const std::string &options) const
{
    std::ifstream in(m_dir + "/port");
    int port = 0;
    in >> port;
    setDeviceUri(scheme + "://127.0.0.1:" + std::to_string(port) + options);
}

void TestPrinter::setDeviceUri(const std::string &uri) const
{
    EXPECT_TRUE(ipp(IPP_OP_CUPS_ADD_MODIFY_PRINTER, "printers/" + m_queue, nullptr, "device-uri", {uri}).ok)
        << uri << ": " << cupsLastErrorString();
}

IppAnswer ipp(int operation, const std::string &object, const char *asked, const char *setName,
              const std::vector<std::string> &setUris)
{
    ipp_t *request = ippNewRequest(ipp_op_t(operation));
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/%s",
                     object.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, object.rfind("jobs/", 0) == 0 ? "job-uri" : "printer-uri",
                 nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    if (asked)
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, asked);
    std::vector<const char *> values;
    for (const std::string &u : setUris)
        values.push_back(u.c_str());
    if (setName)
        ippAddStrings(request, IPP_TAG_PRINTER, IPP_TAG_URI, setName, int(values.size()), nullptr, values.data());
    ipp_t *reply = cupsDoRequest(CUPS_HTTP_DEFAULT, request, asked ? "/" : "/admin/");
    IppAnswer answer;
    answer.ok = cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE;
    if (ipp_attribute_t *found = asked && reply ? ippFindAttribute(reply, asked, IPP_TAG_ZERO) : nullptr) {
        const char *text = ippGetString(found, 0, nullptr);
        answer.text = text ? text : "";
        answer.number = ippGetInteger(found, 0);
    }
    ippDelete(reply);
    return answer;
}

std::string receipts(const std::string &tag, int count, int first)
{
    std::string job;
    for (int i = first; i < first + count; ++i)
        job += tag + " receipt " + std::to_string(i) + "\n" + std::string("\x1d\x56\x42\x00", 4);
    return job;
}

int submit(const std::string &queue, const std::string &bytes, int copies, const char *format, const char *title)
{
    cups_option_t *options = nullptr;
    int n = 0;
    if (copies != 1)
        n = cupsAddOption("copies", std::to_string(copies).c_str(), n, &options);
    const int job = cupsCreateJob(CUPS_HTTP_DEFAULT, queue.c_str(), title, n, options);
    cupsFreeOptions(n, options);
    const bool sent = job > 0 &&
                      cupsStartDocument(CUPS_HTTP_DEFAULT, queue.c_str(), job, "receipts",
                                        format ? format : CUPS_FORMAT_RAW, 1) ==
                          HTTP_STATUS_CONTINUE &&
                      cupsWriteRequestData(CUPS_HTTP_DEFAULT, bytes.data(), bytes.size()) == HTTP_STATUS_CONTINUE &&
                      cupsFinishDocument(CUPS_HTTP_DEFAULT, queue.c_str()) <= IPP_STATUS_OK_CONFLICTING;
    return sent ? job : 0;
}

int jobState(const std::string &, int id)
{
    const int state = ipp(IPP_OP_GET_JOB_ATTRIBUTES, "jobs/" + std::to_string(id), "job-state").number;
    return state < 0 ? int(IPP_JSTATE_PENDING) : state;
}

Paper readPaper(const QByteArray &printed, const std::string &tag, int last, int first)
{
    Paper p;
    std::map<int, int> times;
    int previous = 0;
    // Every print counts, also one run into the next without its cut.
    const QByteArray mine = QByteArray::fromStdString(tag + " receipt ");
    for (qsizetype at = printed.indexOf(mine); at >= 0; at = printed.indexOf(mine, at + 1)) {
        const int n = printed.mid(at + mine.size(), 12).split('\n').first().toInt();
        // Order is that of first prints: a receipt printed again comes
        // after later ones when a printer kept its buffer.
        if (times[n] == 0) {
            p.inOrder = p.inOrder && n >= previous;
            previous = n;
        }
        ++times[n];
    }
    for (int i = first; i <= last; ++i) {
        p.lost += times[i] == 0;
        p.twice += times[i] > 1 ? times[i] - 1 : 0;
    }
    return p;
}

int printServerPid()
{
    std::ifstream in(testenv::require("KV_CUPS_STATEDIR") + "/cupsd.pid");
    int pid = 0;
    in >> pid;
    // Never 0 or 1: a signal to either would hit far more than cupsd.
    if (pid <= 1)
        throw std::runtime_error("the print server's pid file names no process");
    return pid;
}

void restorePrintServer()
{
    const std::string cmd = "'" + testenv::require("KV_CUPSCTL") + "' start-cupsd '" +
                            testenv::require("KV_CUPS_ENVDIR") + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << "the print server did not come back";
}

} // namespace testprinter
