// CupsSpooler against the private print server: the bytes that reach the
// test printer, and how long a frozen server may hold the till.
#include "platform/posix/cupsspooler.h"

#include "testenv.h"
#include "testprinter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>

using kv::platform::CupsSpooler;
using kv::platform::DocInfo;
using namespace std::chrono_literals;

namespace {

bool writeAll(kv::platform::PrinterHandle &h, const std::string &bytes)
{
    std::size_t written = 0;
    return h.write(bytes, written) && written == bytes.size();
}

} // namespace

// The queue's driver upper-cases text; a raw job never meets it, and every
// byte value arrives unchanged, across writes split inside a command.
TEST(CupsSpooler, RawJobBypassesTheDriverAndDeliversEveryByte)
{
    const std::string queue = testenv::require("KV_CUPS_FILTERED_QUEUE");
    testprinter::TestPrinter printer(queue);
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += char(b);
    CupsSpooler spooler;
    for (const auto &dataType : {std::optional<std::string>(), std::optional<std::string>("text/plain")}) {
        const auto mark = printer.mark();
        auto handle = spooler.openPrinter(queue);
        ASSERT_TRUE(handle) << spooler.lastError();
        ASSERT_TRUE(handle->startDocument(DocInfo{"raw test", std::nullopt, dataType}));
        const std::string text = dataType ? std::string("receipt\n") : all;
        const std::size_t split = std::min<std::size_t>(0x1c, text.size());
        EXPECT_TRUE(writeAll(*handle, text.substr(0, split)) && writeAll(*handle, text.substr(split)));
        EXPECT_TRUE(handle->endDocument());
        EXPECT_EQ(printer.bytesSince(mark), QByteArray::fromStdString(dataType ? "RECEIPT\n" : all));
    }
}

// The bound the till needs; the spooler's own budget lies below it.
TEST(CupsSpooler, FrozenPrintServerHoldsNoCallLongerThanFiveSeconds)
{
    const std::string queue = testprinter::otherQueue();
    CupsSpooler spooler;
    auto handle = spooler.openPrinter(queue);
    ASSERT_TRUE(handle && handle->startDocument(DocInfo{"frozen", std::nullopt, std::nullopt}));
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
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5000ms) << what;
    }
}
