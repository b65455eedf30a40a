#include "testprinter.h"

#include "testenv.h"

#include <gtest/gtest.h>

#include <QFile>

#include <cups/cups.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <thread>

namespace testprinter {

namespace {

std::string jobFile(const std::string &dir, int n)
{
    char name[32];
    std::snprintf(name, sizeof name, "job-%06d.bin", n);
    return dir + "/" + name;
}

} // namespace

std::string defaultQueue() { return testenv::require("KV_CUPS_DEFAULT_QUEUE"); }

std::string otherQueue() { return testenv::require("KV_CUPS_OTHER_QUEUE"); }

TestPrinter::TestPrinter(std::string queue)
    : m_queue(std::move(queue)), m_dir(testenv::require("KV_TESTPRINTER_DIR") + "/" + m_queue)
{
    if (!std::filesystem::is_directory(m_dir))
        throw std::runtime_error("the test printer of queue " + m_queue + " has no directory " + m_dir);
}

int TestPrinter::jobsReceived() const
{
    // Job files appear strictly in order, each complete once it exists.
    int n = 0;
    while (std::filesystem::exists(jobFile(m_dir, n + 1)))
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
    for (int n = mark.jobs + 1; n - mark.jobs <= jobs && std::filesystem::exists(jobFile(m_dir, n)); ++n) {
        QFile f(QString::fromStdString(jobFile(m_dir, n)));
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

LateAnswers::LateAnswers()
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(m_listen, 16) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &size) != 0 ||
        ::pipe2(m_stop, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("relay: cannot listen: ") + std::strerror(errno));
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { relay(); });
}

LateAnswers::~LateAnswers()
{
    ::close(m_stop[1]);
    m_thread.join();
    ::close(m_stop[0]);
    ::close(m_listen);
}

std::string LateAnswers::server() const { return "127.0.0.1:" + std::to_string(m_port); }

void LateAnswers::holdFor(std::chrono::milliseconds delay)
{
    m_heldUntil = (std::chrono::steady_clock::now() + delay).time_since_epoch().count();
}

void LateAnswers::relay()
{
    struct Link {
        int client = -1, server = -1;
        std::string answer; // from the server, not passed on yet
        ~Link()
        {
            ::close(client);
            ::close(server);
        }
    };
    std::list<Link> links;
    const std::string socketPath = testenv::require("CUPS_SERVER");
    char buffer[65536];
    for (;;) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        const bool held = now < m_heldUntil;
        std::vector<pollfd> fds{{m_stop[0], POLLIN, 0}, {m_listen, POLLIN, 0}};
        for (Link &l : links) {
            fds.push_back({l.client, POLLIN, 0});
            fds.push_back({l.server, POLLIN, 0});
        }
        ::poll(fds.data(), fds.size(), held ? 10 : 1000);
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            Link &l = links.emplace_back();
            l.client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
            l.server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(l.server, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
                links.pop_back();
        }
        std::size_t i = 2;
        for (auto it = links.begin(); it != links.end(); i += 2) {
            Link &l = *it;
            bool open = true;
            if (i < fds.size() && fds[i].revents) {
                const ssize_t n = ::recv(l.client, buffer, sizeof buffer, 0);
                open = n > 0 && ::send(l.server, buffer, std::size_t(n), MSG_NOSIGNAL) == n;
            }
            if (open && i + 1 < fds.size() && fds[i + 1].revents) {
                const ssize_t n = ::recv(l.server, buffer, sizeof buffer, 0);
                open = n > 0;
                if (open)
                    l.answer.append(buffer, std::size_t(n));
            }
            if (open && !held && !l.answer.empty()) {
                open = ::send(l.client, l.answer.data(), l.answer.size(), MSG_NOSIGNAL) == ssize_t(l.answer.size());
                l.answer.clear();
            }
            it = open ? std::next(it) : links.erase(it);
        }
    }
}

} // namespace testprinter
