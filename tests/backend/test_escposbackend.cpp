// The escpos backend, run by a private print server of its own for a queue
// whose test printer restarts, resets, answers late or never, runs out of
// paper, opens its cover or is switched off: every receipt on paper, in
// order, none lost, at most the few unconfirmed when the printer went away
// printed twice; what the queue says meanwhile. That server gives the
// backend short bounds (KV_ESCPOS_TIMING: progress 2 s, status 1 s, probe
// 0.5 s), so the rows hold a printer stopped past them. Then the launcher's
// spooler on that server: raw bytes, and a frozen server.
#include "escpos/vbEscpos.h"
#include "platform/posix/cupsspooler.h"
#include "testenv.h"
#include "testprinter.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cups/backend.h>
#include <cups/cups.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace std::chrono_literals;
using namespace testprinter;

namespace {

// Past the bounds the tests' print server gives the backend.
constexpr auto kPastTheBounds = 2500ms;

std::vector<std::string> reasonsOf(const std::string &queue)
{
    kv::platform::CupsSpooler spooler;
    auto printer = spooler.openPrinter(queue);
    return printer ? printer->stateReasons() : std::vector<std::string>{};
}

// The queue's printer-state-message, as lpstat shows it.
std::string messageOf(const std::string &queue)
{
    return ipp(IPP_OP_GET_PRINTER_ATTRIBUTES, "printers/" + queue, "printer-state-message").text;
}

// Receipts the backend reported on paper (its PAGE: lines).
int sheetsOf(int id)
{
    return ipp(IPP_OP_GET_JOB_ATTRIBUTES, "jobs/" + std::to_string(id), "job-media-sheets-completed").number;
}

bool finished(const std::string &queue, int id, std::chrono::milliseconds bound = 60s)
{
    return testenv::pollUntil([&] { return jobState(queue, id) >= IPP_JSTATE_CANCELED; }, bound) &&
           jobState(queue, id) == IPP_JSTATE_COMPLETED;
}

TEST(EscposBackend, EveryReceiptOnPaperWhateverThePrinterDoes)
{
    TestPrinter printer(testprinter::otherQueue());
    const std::string queue = printer.queue();
    enum Resend { No, AfterCancel, AfterCancelRenamed, AfterCancelInMidReceipt, AfterCompletedAndForgotten };
    // A logo's raster whose bytes look like status requests (DLE EOT 1, 5,
    // GS r 1): the printer answers some, none is ours to count.
    const std::string logo("\x1d\x76\x30\x00\x03\x00\x03\x00\x10\x04\x01\x10\x04\x05\x1d\x72\x01", 17);
    // confirm: the device URI's option, "" for the default. A printer that
    // keeps its buffer through a restart prints the unconfirmed window (2)
    // and then gets it again.
    const struct {
        const char *name;
        std::vector<std::string> orders;
        const char *confirm;
        int maxTwice;
        int maxConnections;            // retries come less and less often
        std::vector<std::string> left; // reasons on the queue after the job
        // Sent again with the same bytes, as a new job: once 5 receipts are
        // confirmed and the job is cancelled (under its name, or another:
        // then it prints whole), cancelled with the printer stopped in mid
        // receipt 2 (what was begun is finished and confirmed), or once it
        // completed and the print server forgot it.
        Resend resend = No;
        std::string inside = {}; // bytes put into the second receipt, after its first line
    } rows[] = {
        {"resets connections as it accepts them", {"reset-accepts 2"}, "", 0, 3, {}},
        {"resets every connection for 6 s", {"reset-ms 6000"}, "", 0, 12, {}},
        {"answers late", {"print-ms 250"}, "", 0, 1, {}},
        {"is switched off for seconds in mid-job", {"off-ms 2500", "restart-after 200"}, "", 1, 3, {}},
        {"restarts keeping its buffer", {"print-ms 40", "keep-buffer 1", "restart-after 250"}, "", 2, 3, {}},
        {"never answers process-ID requests", {"ignore-process-id 1"}, "", 0, 1, {"kv-escpos-no-process-id-report"}},
        // Restarts with the second receipt read while the first prints.
        {"answers them again and restarts at once", {"print-ms 250", "restart-after 90"}, "", 1, 3, {}},
        {"confirms with real-time status only, status requests inside a receipt", {"ignore-process-id 1"},
         "/?confirm=status", 0, 1, {}, No, logo},
        {"confirms nothing", {}, "/?confirm=none", 0, 1, {}},
        {"is cancelled and the job sent again", {"print-ms 100"}, "", 0, 2, {}, AfterCancel},
        {"is cancelled and sent again under another name", {"print-ms 100"}, "", 10, 2, {}, AfterCancelRenamed},
        // More than the socket buffers hold: the write stands in the receipt.
        {"is cancelled in mid-receipt and the job sent again", {"paper-end 1"}, "/?confirm=process-id", 0, 2, {},
         AfterCancelInMidReceipt, std::string(8 << 20, 'U')},
        {"completed, forgotten and sent again", {}, "", 0, 1, {}, AfterCompletedAndForgotten},
    };
    int row = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        printer.connectQueue("escpos", r.confirm);
        const auto mark = printer.mark();
        const int connections = printer.connections();
        for (const auto &o : r.orders)
            printer.order(o);
        // A run of its own: the backend resumes a job of the same name and
        // bytes that an earlier run of this case left cancelled.
        const std::string tag = "row" + std::to_string(++row) + "-" + std::to_string(::getpid());
        const int count = 10;
        std::string document = receipts(tag, count);
        document.insert(document.find('\n', document.find(tag + " receipt 2")) + 1, r.inside);
        int id = submit(queue, document);
        ASSERT_NE(id, 0) << cupsLastErrorString();
        if (r.resend != No) {
            if (r.resend != AfterCompletedAndForgotten) {
                // In mid-receipt: the print server has told the backend when the cancel returns.
                const bool midReceipt = r.resend == AfterCancelInMidReceipt;
                ASSERT_TRUE(testenv::pollUntil([&] { return midReceipt ? printer.held() >= 4096 : sheetsOf(id) >= 5; },
                                               20s));
                cupsCancelJob2(CUPS_HTTP_DEFAULT, queue.c_str(), id, 0);
                printer.order("paper-end 0");
            }
            ASSERT_TRUE(testenv::pollUntil([&] { return jobState(queue, id) >= IPP_JSTATE_CANCELED; }, 20s));
            // Forgotten, as by a print server that died before writing it
            // out: asked again until it is, as the server refuses while the
            // job's backend still runs.
            const auto forgotten = [&] {
                cupsCancelJob2(CUPS_HTTP_DEFAULT, queue.c_str(), id, 1);
                return jobState(queue, id) == IPP_JSTATE_PENDING;
            };
            if (r.resend == AfterCompletedAndForgotten) {
                ASSERT_TRUE(testenv::pollUntil(forgotten, 10s)) << cupsLastErrorString();
            }
            id = submit(queue, document, 1, nullptr,
                        r.resend == AfterCancelRenamed ? "Korvantis, renamed" : "Korvantis test");
            ASSERT_NE(id, 0) << cupsLastErrorString();
        }
        EXPECT_TRUE(finished(queue, id)) << messageOf(queue);
        const Paper paper = readPaper(printer.printedSince(mark), tag, count);
        EXPECT_EQ(paper.lost, 0);
        EXPECT_LE(paper.twice, r.maxTwice);
        EXPECT_TRUE(paper.inOrder);
        EXPECT_LE(printer.connections() - connections, r.maxConnections);
        if (r.resend == AfterCancel || r.resend == AfterCancelInMidReceipt)
            EXPECT_LE(sheetsOf(id), count - (r.resend == AfterCancel ? 5 : 2))
                << "a job sent again prints only the rest";
        else
            EXPECT_EQ(sheetsOf(id), r.resend == AfterCompletedAndForgotten ? 0 : count);
        EXPECT_EQ(reasonsOf(queue), r.left);
        for (const char *o : {"print-ms 0", "ignore-process-id 0", "reset-ms 0"})
            printer.order(o);
    }
    printer.connectQueue("escpos");
}

// A stopped printer is waited for, past every bound, and shown on the queue:
// nothing sent again while it holds its buffer, the reason gone once it is
// back. The printer stops before the job, or in mid-job with everything sent
// at once and its buffer full, where status requests wait behind the data
// and only its unasked reports get through.
TEST(EscposBackend, StoppedPrinterShowsOnTheQueueAndPrintsOnceWhenBack)
{
    TestPrinter printer(testprinter::otherQueue());
    const struct {
        const char *name;
        const char *stop, *go;
        const char *words;
        const char *options;
        int midJob; // stops once the printer holds this many bytes; 0: before the job
        bool older = false; // reports nothing unasked (no GS a) and answers no process-ID request
        int unconfirmed = -1; // receipts the printer holds while stopped: the window, not one more
    } rows[] = {
        {"out of paper before the job", "paper-end 1", "paper-end 0", "out of paper", "", 0},
        {"out of paper before the job, process IDs asked at once", "paper-end 1", "paper-end 0", "out of paper",
         "/?confirm=process-id", 0, false, 2},
        {"cover opened in mid-job", "cover-open 1", "cover-open 0", "cover open", "", 1},
        {"out of paper in mid-job, buffer full", "paper-end 1", "paper-end 0", "out of paper", "/?window=0", 64},
        // Out of paper if a status request slipped in before the buffer filled, else offline.
        {"an older printer out of paper in mid-job, buffer full", "paper-end 1", "paper-end 0", nullptr,
         "/?confirm=status&window=0", 64, true},
    };
    int row = 0;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        printer.connectQueue("escpos", r.options);
        for (const char *o : {"paper-end 0", "cover-open 0", "buffer 64"})
            printer.order(o);
        for (const char *o : {"ignore-asb", "ignore-process-id"})
            printer.order(std::string(o) + (r.older ? " 1" : " 0"));
        printer.order("print-ms 100");
        const auto mark = printer.mark();
        if (!r.midJob)
            printer.order(r.stop);
        const std::string tag = "stop" + std::to_string(++row);
        const int id = submit(printer.queue(), receipts(tag, 10));
        ASSERT_NE(id, 0) << cupsLastErrorString();
        if (r.midJob) {
            ASSERT_TRUE(testenv::pollUntil([&] { return printer.held() >= r.midJob; }, 10s));
            printer.order(r.stop);
        }
        ASSERT_TRUE(testenv::pollUntil([&] { return !reasonsOf(printer.queue()).empty(); }, 10s));
        if (r.words) {
            EXPECT_EQ(kv::escpos::reasonsInWords(reasonsOf(printer.queue())), QStringList{r.words});
        }
        std::this_thread::sleep_for(kPastTheBounds);
        if (r.unconfirmed >= 0) {
            EXPECT_EQ(printer.held(), int(receipts(tag, r.unconfirmed).size()));
        }
        EXPECT_EQ(jobState(printer.queue(), id), IPP_JSTATE_PROCESSING) << "a job waits while the printer is stopped";
        printer.order(r.go);
        EXPECT_TRUE(finished(printer.queue(), id, 20s)) << messageOf(printer.queue());
        // Confirmed as received, the older printer's last receipts print after the job ends.
        const Paper paper = readPaper(printer.bytesSince(mark), tag, 10);
        EXPECT_EQ(paper.lost, 0);
        EXPECT_EQ(paper.twice, 0);
        EXPECT_TRUE(reasonsOf(printer.queue()).empty()) << "the reason goes when the printer is back";
    }
    for (const char *o : {"buffer 4096", "print-ms 0", "ignore-asb 0", "ignore-process-id 0"})
        printer.order(o);
    printer.connectQueue("escpos");
}

// Copies are the backend's to make only from a file (a raw job); from a
// filter's output they are made already. The filtered queue's driver
// upper-cases the text.
TEST(EscposBackend, CopiesOnlyFromAFile)
{
    const struct {
        std::string queue;
        const char *format;
        int times;
    } rows[] = {
        {testprinter::otherQueue(), CUPS_FORMAT_RAW, 2},
        {testenv::require("KV_CUPS_FILTERED_QUEUE"), CUPS_FORMAT_TEXT, 1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.queue);
        TestPrinter printer(r.queue);
        const auto mark = printer.mark();
        const int id = submit(r.queue, receipts("copies", 3), 2, r.format);
        ASSERT_NE(id, 0) << cupsLastErrorString();
        EXPECT_TRUE(finished(r.queue, id)) << messageOf(r.queue);
        const Paper paper = readPaper(printer.printedSince(mark).toLower(), "copies", 3);
        EXPECT_EQ(paper.lost, 0);
        EXPECT_EQ(paper.twice, 3 * (r.times - 1));
    }
}

// A printer that cannot be reached is named on the queue (lpstat shows the
// message) while the job waits for it; a job sent to a class goes to the
// class's next printer instead of waiting there for good.
TEST(EscposBackend, UnreachablePrinterIsNamedOnTheQueueAndAClassJobGoesOn)
{
    TestPrinter away(testprinter::otherQueue()), there(testprinter::defaultQueue());
    const struct {
        const char *uri;
        const char *named;
    } rows[] = {
        {"escpos://kv-no-such-printer.invalid:9100", "kv-no-such-printer.invalid"},
        {"escpos:/dev/kv-no-such-printer", "no device /dev/kv-no-such-printer"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.uri);
        away.setDeviceUri(r.uri);
        const int id = submit(away.queue(), receipts("away", 1));
        ASSERT_NE(id, 0) << cupsLastErrorString();
        EXPECT_TRUE(testenv::pollUntil(
            [&] { return messageOf(away.queue()).find(r.named) != std::string::npos; }, 10s))
            << messageOf(away.queue());
        EXPECT_EQ(reasonsOf(away.queue()), std::vector<std::string>{"offline-report"});
        cupsCancelJob2(CUPS_HTTP_DEFAULT, away.queue().c_str(), id, 0);
        EXPECT_TRUE(testenv::pollUntil([&] { return jobState(away.queue(), id) >= IPP_JSTATE_CANCELED; }, 10s));
    }

    const std::string cls = "KV_BackendClass";
    ASSERT_TRUE(ipp(IPP_OP_CUPS_ADD_MODIFY_CLASS, "classes/" + cls, nullptr, "member-uris",
                    {"ipp://localhost/printers/" + away.queue(), "ipp://localhost/printers/" + there.queue()})
                    .ok)
        << cupsLastErrorString();
    ASSERT_TRUE(ipp(IPP_OP_CUPS_ACCEPT_JOBS, "classes/" + cls).ok);
    ASSERT_TRUE(ipp(IPP_OP_RESUME_PRINTER, "classes/" + cls).ok);
    // Only the unreachable printer may start it; the other is let go once it did.
    ASSERT_TRUE(ipp(IPP_OP_PAUSE_PRINTER, "printers/" + there.queue()).ok);
    const auto mark = there.mark();
    // A run of its own: deleting the class purged the earlier run's job, and
    // the backend prints nothing of a completed job sent again once the print
    // server has forgotten it.
    const std::string tag = "class-" + std::to_string(::getpid());
    const int id = submit(cls, receipts(tag, 2));
    EXPECT_NE(id, 0) << cupsLastErrorString();
    EXPECT_TRUE(testenv::pollUntil([&] { return jobState(cls, id) == IPP_JSTATE_PROCESSING; }, 10s));
    EXPECT_TRUE(ipp(IPP_OP_RESUME_PRINTER, "printers/" + there.queue()).ok);
    EXPECT_TRUE(finished(cls, id, 30s)) << messageOf(away.queue());
    EXPECT_EQ(readPaper(there.printedSince(mark), tag, 2).lost, 0);
    if (jobState(cls, id) < IPP_JSTATE_CANCELED)
        cupsCancelJob2(CUPS_HTTP_DEFAULT, cls.c_str(), id, 0);
    ipp(IPP_OP_CUPS_DELETE_CLASS, "classes/" + cls);
    away.connectQueue("escpos");
}

// Input that no wait can make right stops with a message naming what is
// wrong, on one line whatever the input held (a second line would be a
// command to the print server): the backend run as CUPS runs it.
TEST(EscposBackend, BadInputIsRefusedOnOneLine)
{
    const QTemporaryDir dir("/dev/shm/kv-escpos-XXXXXX");
    const std::string shm = dir.path().toStdString();
    std::filesystem::create_directory(shm + "/dir");
    std::ofstream(shm + "/file") << "x";
    std::filesystem::create_symlink("/dev/null", shm + "/link");
    const struct {
        std::string uri, file, said; // file: the job
        int status;
    } rows[] = {
        {"escpos://printer\nSTATE: +kv-forged/?window=x", shm + "/file", "\\nSTATE: +kv-forged", CUPS_BACKEND_STOP},
        {"escpos:" + shm + "/link", shm + "/file", "symbolic link", CUPS_BACKEND_STOP},
        {"escpos:" + shm + "/file", shm + "/file", "not a character device", CUPS_BACKEND_STOP},
        {"escpos:/dev/null", shm + "/dir", "is a directory", CUPS_BACKEND_FAILED},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.uri);
        QProcess backend;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("DEVICE_URI", QString::fromStdString(r.uri));
        env.insert("CUPS_CACHEDIR", dir.path());
        backend.setProcessEnvironment(env);
        const QStringList args{"1", "till", "Korvantis POS\nSTATE: +kv-forged", "1", "", QString::fromStdString(r.file)};
        backend.start(QString::fromStdString(testenv::require("KV_CUPS_STATEDIR") + "/bin/backend/escpos"), args);
        ASSERT_TRUE(backend.waitForFinished(10000));
        const std::string said = backend.readAllStandardError().toStdString();
        EXPECT_EQ(backend.exitCode(), r.status) << said;
        EXPECT_NE(said.find(r.said), std::string::npos) << said;
        EXPECT_EQ(said.find("\nSTATE: +kv-forged"), std::string::npos) << said;
        EXPECT_NE(said.find("STATE: -media-empty-error"), std::string::npos) << "a run first clears what a dead one left";
    }
}

// The spooler the launcher prints through, on the same print server.
// The queue's driver upper-cases text; a raw job never meets it, not even
// one whose first KiB is text to the server's typing, and every byte value
// arrives unchanged, across writes split anywhere.
TEST(CupsSpooler, RawJobBypassesTheDriverAndDeliversEveryByte)
{
    const std::string queue = testenv::require("KV_CUPS_FILTERED_QUEUE");
    TestPrinter printer(queue);
    std::string all;
    for (int line = 0; line < 80; ++line)
        all += "a receipt line\n";
    for (int b = 0; b < 256; ++b)
        all += char(b);
    kv::platform::CupsSpooler spooler;
    const auto mark = printer.mark();
    auto handle = spooler.openPrinter(queue);
    ASSERT_TRUE(handle && handle->startDocument({"raw test", std::nullopt, std::nullopt})) << spooler.lastError();
    EXPECT_TRUE(writeAll(*handle, all.substr(0, all.size() - 200)) && writeAll(*handle, all.substr(all.size() - 200)));
    EXPECT_TRUE(handle->endDocument()) << spooler.lastError();
    EXPECT_EQ(printer.bytesSince(mark), QByteArray::fromStdString(all));
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
        {"where a job stands, by number",
         [&] { EXPECT_EQ(spooler.followJob({queue, "frozen", 1}), kv::platform::JobStage::Unknown); }},
        {"where a job stands, by name",
         [&] { EXPECT_EQ(spooler.followJob({queue, "frozen", 0}), kv::platform::JobStage::Unknown); }},
        {"cancel held jobs", [&] { EXPECT_EQ(spooler.cancelHeldJobs(queue, "frozen"), std::nullopt); }},
    };
    for (const auto &[what, run] : calls) {
        const auto start = std::chrono::steady_clock::now();
        run();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2200ms) << what;
    }
}

} // namespace
