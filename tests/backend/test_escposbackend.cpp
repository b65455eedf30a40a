// The escpos backend, run by the private print server for a queue whose test
// printer restarts, resets, answers late, runs out of paper or is switched
// off: every receipt on paper, in order, none lost, and at most the one being
// printed when the printer went away printed twice.
#include "escpos/vbEscpos.h"
#include "platform/posix/cupsspooler.h"
#include "testenv.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <cups/cups.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testprinter::TestPrinter;

namespace {

const std::string kCut("\x1d\x56\x42\x00", 4);

std::string receipts(const std::string &tag, int count)
{
    std::string job;
    for (int i = 1; i <= count; ++i)
        job += tag + " receipt " + std::to_string(i) + " of " + std::to_string(count) + "\n" + kCut;
    return job;
}

// Hands a raw job to the queue as the launcher does; its job id.
int submit(const std::string &queue, const std::string &bytes)
{
    kv::platform::CupsSpooler spooler;
    auto printer = spooler.openPrinter(queue);
    EXPECT_TRUE(printer) << spooler.lastError();
    if (!printer)
        return 0;
    std::size_t written = 0;
    EXPECT_TRUE(printer->startDocument({"backend test", std::nullopt, std::nullopt}));
    EXPECT_TRUE(printer->write(bytes, written));
    EXPECT_TRUE(printer->endDocument()) << spooler.lastError();
    return printer->job().id;
}

ipp_jstate_t jobState(const std::string &queue, int id)
{
    cups_job_t *jobs = nullptr;
    const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, queue.c_str(), 0, CUPS_WHICHJOBS_ALL);
    ipp_jstate_t state = IPP_JSTATE_PENDING;
    for (int i = 0; i < n; ++i)
        if (jobs[i].id == id)
            state = jobs[i].state;
    cupsFreeJobs(n, jobs);
    return state;
}

bool waitFor(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    for (const auto until = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(50ms))
        if (done())
            return true;
    return done();
}

std::vector<std::string> reasonsOf(const std::string &queue)
{
    kv::platform::CupsSpooler spooler;
    auto printer = spooler.openPrinter(queue);
    return printer ? printer->stateReasons() : std::vector<std::string>{};
}

// What lpadmin -v does, over IPP.
void setDeviceUri(const std::string &queue, const std::string &uri)
{
    ipp_t *request = ippNewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
    const std::string printerUri = "ipp://localhost/printers/" + queue;
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printerUri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, uri.c_str());
    ippDelete(cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/admin/"));
    ASSERT_LE(cupsLastError(), IPP_STATUS_OK_EVENTS_COMPLETE) << uri << ": " << cupsLastErrorString();
}

std::filesystem::path cacheDir() { return testenv::require("KV_CUPS_STATEDIR") + "/cache"; }

int jobStatesKept()
{
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator(cacheDir()))
        n += e.path().filename().string().rfind("escpos-job-", 0) == 0;
    return n;
}

// How often each receipt of `tag` came out, checking they came in order
// (a receipt printed twice comes again right after the first time).
struct Paper {
    int lost = 0, twice = 0;
    bool inOrder = true;
};
Paper readPaper(const QByteArray &printed, const std::string &tag, int count)
{
    Paper p;
    std::map<int, int> times;
    int last = 0;
    for (const QByteArray &piece : printed.split('\x1d')) {
        const QByteArray mine = QByteArray::fromStdString(tag + " receipt ");
        const qsizetype at = piece.indexOf(mine);
        if (at < 0)
            continue;
        const int n = piece.mid(at + mine.size()).split(' ').first().toInt();
        p.inOrder = p.inOrder && n >= last - 1;
        last = n;
        ++times[n];
    }
    for (int i = 1; i <= count; ++i) {
        p.lost += times[i] == 0;
        p.twice += times[i] > 1 ? times[i] - 1 : 0;
    }
    return p;
}

struct Misbehaviour {
    const char *name;
    std::vector<std::string> orders;
    const char *confirm; // the device URI's option, "" for the default
    int maxTwice;
};

TEST(EscposBackend, EveryReceiptOnPaperWhateverThePrinterDoes)
{
    TestPrinter printer(testprinter::otherQueue());
    const std::string queue = printer.queue();
    // Left by a job the server no longer has: the next job clears it.
    std::ofstream(cacheDir() / "escpos-job-999999") << "kv-escpos-1\r\n0-0\r\n1\r\n3\r\n";

    const Misbehaviour rows[] = {
        {"restarts in mid-job", {"restart-after 300"}, "", 0},
        {"restarts while a receipt prints", {"print-ms 40", "restart-after 300"}, "", 1},
        {"resets connections as it accepts them", {"reset-accepts 2"}, "", 0},
        {"answers late", {"print-ms 300"}, "", 0},
        {"is switched off for seconds in mid-job", {"off-ms 2500", "restart-after 200"}, "", 0},
        {"sends automatic status between its answers", {"auto-status 1"}, "", 0},
        {"confirms with real-time status only", {}, "/?confirm=status", 0},
        {"confirms nothing", {}, "/?confirm=none", 0},
    };
    int row = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const std::string uri = "escpos://127.0.0.1:" + std::to_string(printer.port()) + r.confirm;
        setDeviceUri(queue, uri);
        const auto mark = printer.mark();
        for (const auto &o : r.orders)
            printer.order(o);
        const std::string tag = "row" + std::to_string(++row);
        const int count = r.confirm[0] ? 5 : 20;
        const int id = submit(queue, receipts(tag, count));
        ASSERT_TRUE(waitFor([&] { return jobState(queue, id) >= IPP_JSTATE_CANCELED; }, 60s));
        EXPECT_EQ(jobState(queue, id), IPP_JSTATE_COMPLETED);
        const Paper paper = readPaper(printer.printedSince(mark), tag, count);
        EXPECT_EQ(paper.lost, 0);
        EXPECT_LE(paper.twice, r.maxTwice);
        EXPECT_TRUE(paper.inOrder);
        EXPECT_EQ(jobStatesKept(), 0) << "a finished job's state is removed, and so is a gone job's";
        for (const char *reset : {"print-ms 0", "auto-status 0"})
            printer.order(reset);
    }
    setDeviceUri(queue, "escpos://127.0.0.1:" + std::to_string(printer.port()));
}

TEST(EscposBackend, PaperOutShowsOnTheQueueAndPrintsOnceWhenPaperIsIn)
{
    TestPrinter printer(testprinter::otherQueue());
    const auto mark = printer.mark();
    printer.order("paper-end 1");
    const int id = submit(printer.queue(), receipts("paper", 3));
    ASSERT_TRUE(waitFor([&] { return !reasonsOf(printer.queue()).empty(); }, 10s));
    EXPECT_EQ(kv::escpos::reasonsInWords(reasonsOf(printer.queue())), QStringList{"out of paper"});
    EXPECT_EQ(jobState(printer.queue(), id), IPP_JSTATE_PROCESSING) << "a job waits while the paper is out";
    printer.order("paper-end 0");
    ASSERT_TRUE(waitFor([&] { return jobState(printer.queue(), id) >= IPP_JSTATE_CANCELED; }, 20s));
    EXPECT_EQ(jobState(printer.queue(), id), IPP_JSTATE_COMPLETED);
    const Paper paper = readPaper(printer.printedSince(mark), "paper", 3);
    EXPECT_EQ(paper.lost + paper.twice, 0);
    EXPECT_TRUE(reasonsOf(printer.queue()).empty()) << "the reason goes when the paper is in";
}

} // namespace
