// The escpos backend, run by a private print server of its own for a queue
// whose test printer restarts, resets, answers late, runs out of paper or is
// switched off: every receipt on paper, in order, none lost, and at most the
// one being printed when the printer went away printed twice. Then the
// launcher's spooler on that server: raw bytes, and a frozen server.
#include "escpos/vbEscpos.h"
#include "platform/posix/cupsspooler.h"
#include "testenv.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <cups/cups.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace testprinter;

namespace {

std::vector<std::string> reasonsOf(const std::string &queue)
{
    kv::platform::CupsSpooler spooler;
    auto printer = spooler.openPrinter(queue);
    return printer ? printer->stateReasons() : std::vector<std::string>{};
}

std::filesystem::path cacheDir() { return testenv::require("KV_CUPS_STATEDIR") + "/cache"; }

int jobStatesKept()
{
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator(cacheDir()))
        n += e.path().filename().string().rfind("escpos-job-", 0) == 0;
    return n;
}

TEST(EscposBackend, EveryReceiptOnPaperWhateverThePrinterDoes)
{
    TestPrinter printer(testprinter::otherQueue());
    const std::string queue = printer.queue();
    // Left by a job the server no longer has: the next job clears it.
    std::ofstream(cacheDir() / "escpos-job-999999") << "kv-escpos-1\r\n0-0\r\n1\r\n3\r\n";

    // confirm: the device URI's option, "" for the default.
    const struct { const char *name; std::vector<std::string> orders; const char *confirm; int maxTwice; } rows[] = {
        {"restarts while a receipt prints", {"print-ms 40", "restart-after 250"}, "", 1},
        {"resets connections as it accepts them", {"reset-accepts 2"}, "", 0},
        {"answers late", {"print-ms 250"}, "", 0},
        {"is switched off for seconds in mid-job", {"off-ms 2500", "restart-after 200"}, "", 1},
        {"confirms with real-time status only", {}, "/?confirm=status", 0},
        {"confirms nothing", {}, "/?confirm=none", 0},
    };
    int row = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        printer.connectQueue("escpos", r.confirm);
        const auto mark = printer.mark();
        for (const auto &o : r.orders)
            printer.order(o);
        const std::string tag = "row" + std::to_string(++row);
        const int count = 10;
        const int id = submit(queue, receipts(tag, count));
        ASSERT_NE(id, 0) << cupsLastErrorString();
        ASSERT_TRUE(testenv::pollUntil([&] { return jobState(queue, id) >= IPP_JSTATE_CANCELED; }, 60s));
        EXPECT_EQ(jobState(queue, id), IPP_JSTATE_COMPLETED);
        const Paper paper = readPaper(printer.printedSince(mark), tag, count);
        EXPECT_EQ(paper.lost, 0);
        EXPECT_LE(paper.twice, r.maxTwice);
        EXPECT_TRUE(paper.inOrder);
        EXPECT_EQ(jobStatesKept(), 0) << "a finished job's state is removed, and so is a gone job's";
        printer.order("print-ms 0");
    }
    printer.connectQueue("escpos");
}

TEST(EscposBackend, PaperOutShowsOnTheQueueAndPrintsOnceWhenPaperIsIn)
{
    TestPrinter printer(testprinter::otherQueue());
    const auto mark = printer.mark();
    printer.order("paper-end 1");
    const int id = submit(printer.queue(), receipts("paper", 3));
    ASSERT_NE(id, 0) << cupsLastErrorString();
    ASSERT_TRUE(testenv::pollUntil([&] { return !reasonsOf(printer.queue()).empty(); }, 10s));
    EXPECT_EQ(kv::escpos::reasonsInWords(reasonsOf(printer.queue())), QStringList{"out of paper"});
    EXPECT_EQ(jobState(printer.queue(), id), IPP_JSTATE_PROCESSING) << "a job waits while the paper is out";
    printer.order("paper-end 0");
    ASSERT_TRUE(testenv::pollUntil([&] { return jobState(printer.queue(), id) >= IPP_JSTATE_CANCELED; }, 20s));
    EXPECT_EQ(jobState(printer.queue(), id), IPP_JSTATE_COMPLETED);
    const Paper paper = readPaper(printer.printedSince(mark), "paper", 3);
    EXPECT_EQ(paper.lost + paper.twice, 0);
    EXPECT_TRUE(reasonsOf(printer.queue()).empty()) << "the reason goes when the paper is in";
}

// The spooler the launcher prints through, on the same print server.
// The queue's driver upper-cases text; a raw job never meets it, and every
// byte value arrives unchanged, across writes split inside a command.
TEST(CupsSpooler, RawJobBypassesTheDriverAndDeliversEveryByte)
{
    const std::string queue = testenv::require("KV_CUPS_FILTERED_QUEUE");
    TestPrinter printer(queue);
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += char(b);
    kv::platform::CupsSpooler spooler;
    for (const auto &dataType : {std::optional<std::string>(), std::optional<std::string>("text/plain")}) {
        const auto mark = printer.mark();
        auto handle = spooler.openPrinter(queue);
        ASSERT_TRUE(handle && handle->startDocument({"raw test", std::nullopt, dataType})) << spooler.lastError();
        const std::string text = dataType ? std::string("receipt\n") : all;
        const std::size_t split = std::min<std::size_t>(0x1c, text.size());
        EXPECT_TRUE(writeAll(*handle, text.substr(0, split)) && writeAll(*handle, text.substr(split)));
        EXPECT_TRUE(handle->endDocument());
        EXPECT_EQ(printer.bytesSince(mark), QByteArray::fromStdString(dataType ? "RECEIPT\n" : all));
    }
}

// The till needs every call back within five seconds: the spooler's own
// budget lies below that, and every call keeps to its budget, shortened here
// so the six calls do not take the test half a minute.
TEST(CupsSpooler, FrozenPrintServerHoldsNoCallLongerThanItsBudget)
{
    EXPECT_LT(kv::platform::CupsSpooler::kDefaultTimeout, 5000ms);
    const std::string queue = testprinter::otherQueue();
    kv::platform::CupsSpooler spooler({}, 1500ms);
    auto handle = spooler.openPrinter(queue);
    ASSERT_TRUE(handle && handle->startDocument({"frozen", std::nullopt, std::nullopt}));
    ASSERT_TRUE(writeAll(*handle, "first receipt"));

    const testenv::Frozen frozen(testprinter::printServerPid());
    // More than the socket holds, so the write must wait for the server.
    const std::string receipts(4 << 20, 'x');
    const std::pair<const char *, std::function<void()>> calls[] = {
        {"write", [&] { EXPECT_FALSE(writeAll(*handle, receipts)); }},
        {"end of the job", [&] { EXPECT_FALSE(handle->endDocument()); }},
        {"close", [&] { handle.reset(); }},
        {"open", [&] { EXPECT_EQ(spooler.openPrinter(queue), nullptr); }},
        {"fate of a job",
         [&] { EXPECT_EQ(spooler.settleJob({queue, "frozen", 0}), kv::platform::JobFate::Unknown); }},
        {"cancel held jobs", [&] { EXPECT_EQ(spooler.cancelHeldJobs(queue, "frozen"), std::nullopt); }},
    };
    for (const auto &[what, run] : calls) {
        const auto start = std::chrono::steady_clock::now();
        run();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2200ms) << what;
    }
}

} // namespace
