// CupsSpooler against the private print server: the bytes that reach the
// test printer, what the server lists, and how failures stay bounded.
#include "platform/posix/cupsspooler.h"

#include "testenv.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using kv::platform::CupsSpooler;
using kv::platform::DocInfo;
using testprinter::TestPrinter;
using namespace std::chrono_literals;

namespace {

// lpstat is the system's own client: its order is the order users see.
std::vector<std::string> lpstatDestinations()
{
    std::vector<std::string> names;
    FILE *p = popen("lpstat -e", "r");
    char line[512];
    while (p && std::fgets(line, sizeof line, p))
        names.emplace_back(line, std::strcspn(line, "\r\n"));
    EXPECT_TRUE(p && pclose(p) == 0) << "lpstat -e failed";
    return names;
}

QByteArray qbytes(const std::string &s) { return QByteArray(s.data(), qsizetype(s.size())); }

bool writeAll(kv::platform::PrinterHandle &h, const std::string &bytes)
{
    std::size_t written = 0;
    return h.write(bytes, written) && written == bytes.size();
}

int newestJobId(const std::string &queue)
{
    const auto jobs = testprinter::serverJobs(queue);
    return jobs.empty() ? 0 : jobs.back().id;
}

// A TCP port that takes connections into its backlog and never answers: a
// print server that hangs.
class SilentServer {
public:
    SilentServer()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(m_fd, 8) != 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            ADD_FAILURE() << "could not listen on loopback";
        m_port = ntohs(addr.sin_port);
    }
    ~SilentServer()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    int m_fd = -1;
    int m_port = 0;
};

template <typename F>
std::chrono::milliseconds timed(F &&f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

} // namespace

TEST(CupsSpooler, ListsTheServersQueuesInItsOrderAndItsDefault)
{
    CupsSpooler spooler;
    const std::vector<std::string> names = spooler.printers();
    EXPECT_FALSE(names.empty());
    EXPECT_EQ(names, lpstatDestinations());
    EXPECT_EQ(spooler.defaultPrinter(), testprinter::defaultQueue());
    // The same server named explicitly.
    CupsSpooler named(testenv::require("CUPS_SERVER"));
    EXPECT_EQ(named.printers(), names);
    EXPECT_EQ(named.defaultPrinter(), testprinter::defaultQueue());
    EXPECT_NE(named.openPrinter(testprinter::defaultQueue()), nullptr) << named.lastError();
}

TEST(CupsSpooler, RawJobDeliversEveryByteValueUnchanged)
{
    const std::string queue = testprinter::otherQueue();
    TestPrinter printer(queue);
    const auto mark = printer.mark();

    std::string all;
    for (int b = 0; b < 256; ++b)
        all += char(b);
    CupsSpooler spooler;
    auto handle = spooler.openPrinter(queue);
    ASSERT_TRUE(handle) << spooler.lastError();
    ASSERT_TRUE(handle->startDocument(DocInfo{"Korvantis spooler test", std::nullopt, std::nullopt}));
    EXPECT_TRUE(handle->startPage());
    // A boundary in the middle of what a printer would read as a command.
    EXPECT_TRUE(writeAll(*handle, all.substr(0, 0x1c)));
    EXPECT_TRUE(writeAll(*handle, all.substr(0x1c)));
    EXPECT_TRUE(handle->endPage());
    EXPECT_TRUE(handle->endDocument());
    const int jobId = newestJobId(queue);
    handle.reset();

    EXPECT_EQ(printer.bytesSince(mark), qbytes(all));
    EXPECT_EQ(testprinter::waitForJobEnd(queue, jobId).state, "completed");
}

TEST(CupsSpooler, RawJobBypassesTheDriverOfAQueueThatHasOne)
{
    // The queue's driver upper-cases text; ESC/POS bytes must never meet it.
    const std::string queue = testenv::require("KV_CUPS_FILTERED_QUEUE");
    TestPrinter printer(queue);
    CupsSpooler spooler;
    auto print = [&](std::optional<std::string> dataType) {
        const auto mark = printer.mark();
        auto handle = spooler.openPrinter(queue);
        EXPECT_TRUE(handle) << spooler.lastError();
        if (!handle)
            return QByteArray();
        EXPECT_TRUE(handle->startDocument(DocInfo{"filter test", std::nullopt, dataType}));
        EXPECT_TRUE(writeAll(*handle, "receipt \x1b\x21\x08 text\n"));
        EXPECT_TRUE(handle->endDocument());
        return printer.bytesSince(mark);
    };
    EXPECT_EQ(print(std::string("text/plain")), QByteArray("RECEIPT \x1b\x21\x08 TEXT\n"));
    EXPECT_EQ(print(std::nullopt), QByteArray("receipt \x1b\x21\x08 text\n"));
}

TEST(CupsSpooler, DocumentWithoutBytesLeavesNoJobBehind)
{
    const std::string queue = testprinter::otherQueue();
    const std::size_t before = testprinter::serverJobs(queue).size();
    CupsSpooler spooler;
    auto handle = spooler.openPrinter(queue);
    ASSERT_TRUE(handle) << spooler.lastError();
    ASSERT_TRUE(handle->startDocument(DocInfo{"empty", std::nullopt, std::nullopt}));
    EXPECT_TRUE(writeAll(*handle, {}));
    EXPECT_TRUE(handle->endDocument());
    handle.reset();
    // CUPS would keep a job without a document pending for ever.
    EXPECT_EQ(testprinter::serverJobs(queue).size(), before);
}

TEST(CupsSpooler, AbandonedDocumentLeavesNoJobAndPrintsNothing)
{
    const std::string queue = testprinter::otherQueue();
    TestPrinter printer(queue);
    const auto mark = printer.mark();
    CupsSpooler spooler;
    auto handle = spooler.openPrinter(queue);
    ASSERT_TRUE(handle) << spooler.lastError();
    ASSERT_TRUE(handle->startDocument(DocInfo{"abandoned", std::nullopt, std::nullopt}));
    ASSERT_TRUE(writeAll(*handle, "half a receipt"));
    handle.reset();
    // A whole job after it: once that one is at the printer, the server has
    // long dealt with the abandoned one.
    auto next = spooler.openPrinter(queue);
    ASSERT_TRUE(next) << spooler.lastError();
    ASSERT_TRUE(next->startDocument(DocInfo{"whole", std::nullopt, std::nullopt}));
    ASSERT_TRUE(writeAll(*next, "whole receipt"));
    ASSERT_TRUE(next->endDocument());
    EXPECT_EQ(printer.bytesSince(mark), QByteArray("whole receipt"));
    for (const auto &job : testprinter::serverJobs(queue))
        EXPECT_NE(job.title, "abandoned") << "job " << job.id << " is " << job.state;
}

TEST(CupsSpooler, OutputToAFileIsRefused)
{
    CupsSpooler spooler;
    auto handle = spooler.openPrinter(testprinter::otherQueue());
    ASSERT_TRUE(handle) << spooler.lastError();
    EXPECT_FALSE(handle->startDocument(DocInfo{"to file", std::string("/tmp/receipt.prn"), std::nullopt}));
    std::size_t written = 0;
    EXPECT_FALSE(handle->write("x", written));
}

TEST(CupsSpooler, OpenFailsForAQueueThatDoesNotExistOrRefusesJobs)
{
    CupsSpooler spooler;
    EXPECT_EQ(spooler.openPrinter("KV_NoSuchQueue"), nullptr);
    EXPECT_NE(spooler.lastError().find("KV_NoSuchQueue"), std::string::npos) << spooler.lastError();
    EXPECT_EQ(spooler.openPrinter(""), nullptr);
    // A name CUPS cannot even put in a URI is just another missing printer.
    EXPECT_EQ(spooler.openPrinter("no such/queue?x=1"), nullptr);

    const std::string queue = testprinter::otherQueue();
    ASSERT_EQ(std::system(("cupsreject " + queue).c_str()), 0);
    auto refused = spooler.openPrinter(queue);
    const std::string error = spooler.lastError();
    ASSERT_EQ(std::system(("cupsaccept " + queue).c_str()), 0);
    EXPECT_EQ(refused, nullptr) << "receipts written now would be lost";
    EXPECT_NE(error.find("does not accept"), std::string::npos) << error;
    EXPECT_NE(spooler.openPrinter(queue), nullptr) << spooler.lastError();
}

TEST(CupsSpooler, ServerThatIsNotThereOrHangsCostsABoundedWait)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SilentServer silent;
    const struct {
        const char *what;
        std::string address;
        std::chrono::milliseconds timeout, eachBound, allBound;
    } cases[] = {
        {"not there", (dir.path() + "/cups.sock").toStdString(), 2000ms, 2000ms, 2000ms}, // fails at once
        {"hangs", silent.address(), 500ms, 3000ms, 9000ms},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        CupsSpooler spooler(c.address, c.timeout);
        const auto openTook = timed([&] { EXPECT_EQ(spooler.openPrinter(testprinter::defaultQueue()), nullptr); });
        EXPECT_FALSE(spooler.lastError().empty());
        const auto listTook = timed([&] { EXPECT_TRUE(spooler.printers().empty()); });
        const auto defaultTook = timed([&] { EXPECT_EQ(spooler.defaultPrinter(), ""); });
        EXPECT_LT(openTook, c.eachBound);
        EXPECT_LT(listTook, c.eachBound);
        EXPECT_LT(defaultTook, c.eachBound);
        EXPECT_LT(openTook + listTook + defaultTook, c.allBound);
    }
}

TEST(CupsSpooler, FrozenPrintServerHoldsNoCallLongerThanFiveSeconds)
{
    // The bound the till needs; the spooler's own budget lies below it.
    constexpr auto kBound = 5000ms;
    const std::string queue = testprinter::otherQueue();
    CupsSpooler spooler;
    auto handle = spooler.openPrinter(queue);
    ASSERT_TRUE(handle) << spooler.lastError();
    ASSERT_TRUE(handle->startDocument(DocInfo{"frozen", std::nullopt, std::nullopt}));
    ASSERT_TRUE(writeAll(*handle, "first receipt"));

    const int cupsd = testprinter::printServerPid();
    ASSERT_EQ(::kill(cupsd, SIGSTOP), 0);
    struct Thaw {
        int pid;
        ~Thaw() { ::kill(pid, SIGCONT); }
    } thaw{cupsd};
    // More than the socket holds, so the write must wait for the server.
    const std::string receipts(4 << 20, 'x');
    struct Call {
        const char *what;
        std::function<void()> run;
    };
    const Call calls[] = {
        {"write", [&] { EXPECT_FALSE(writeAll(*handle, receipts)); }},
        {"end of the job", [&] { EXPECT_FALSE(handle->endDocument()); }},
        {"close", [&] { handle.reset(); }},
        {"open", [&] { EXPECT_EQ(spooler.openPrinter(queue), nullptr); }},
    };
    for (const Call &call : calls)
        EXPECT_LT(timed(call.run), kBound) << call.what;
}
