// The escpos backend's reading of the printer and its job state, without a
// print server: the printer's answers as the maker documents them, byte for
// byte; the process IDs; what a job state on disk may and may not be.
#include "escposlink.h"
#include "jobstate.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using namespace kvbackend;
using namespace std::chrono_literals;
using namespace std::string_literals;

// The files the state's save flushed: the backend's fsync lands here first
// (this program's own definition comes before the C library's), then goes on
// to the kernel. A file flushed after its rename shows under its new name.
namespace {
std::vector<std::string> g_flushed;
} // namespace

extern "C" int fsync(int fd)
{
    std::error_code ec;
    g_flushed.push_back(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string());
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace {

// Answers to DLE EOT 1, 2 and 4 and automatic status blocks, each written
// as the TM series' command reference gives the bits, and what the queue
// must then show.
TEST(EscposLink, DocumentedStatusBytesBecomeTheQueuesReasons)
{
    const struct {
        const char *state;
        std::string eot1_2_4; // the three answers, or empty
        std::string block;    // automatic status back, or empty
        std::vector<std::string> reasons;
    } rows[] = {
        {"ready", "\x12\x12\x12"s, {}, {}},
        // 1: bit 3 offline; 2: bit 5 stopped by paper end; 4: bits 5-6 paper end
        {"out of paper", "\x1A\x32\x72"s, {}, {"media-empty-error"}},
        // 2: bit 2 cover open
        {"cover open", "\x1A\x16\x12"s, {}, {"cover-open-error"}},
        // 4: bits 2-3 near end only: still prints
        {"paper near its end", "\x12\x12\x1E"s, {}, {}},
        // 2: bit 3 paper fed with the FEED button: offline, nothing wrong
        {"feed button held", "\x1A\x1A\x12"s, {}, {"offline-report"}},
        // 2: bit 6 error
        {"error", "\x1A\x52\x12"s, {}, {"other-error"}},
        // block byte 1: bit 4 fixed, bit 3 offline, bit 5 cover; byte 3: bits 2-3 paper end
        {"ready, unasked", {}, "\x10\0\0\0"s, {}},
        {"autocutter error, unasked", {}, "\x18\x08\0\0"s, {"other-error"}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.state);
        AnswerReader reader;
        // A process-ID answer and a stray byte around them change nothing.
        const std::string stream = "\x37\x22!!!!\0"s + r.block + r.eot1_2_4 + "\xff";
        reader.feed(stream.data(), stream.size());
        PrinterStatus status;
        const int requests[] = {1, 2, 4};
        std::size_t statusAnswers = 0;
        while (auto a = reader.next()) {
            if (a->kind == AnswerReader::Answer::Status && statusAnswers < 3)
                applyStatus(status, requests[statusAnswers++], a->status);
            else if (a->kind == AnswerReader::Answer::AutoStatus)
                status = autoStatus(a->id);
            else
                EXPECT_EQ(a->id, "!!!!");
        }
        EXPECT_EQ(statusAnswers, r.eot1_2_4.size());
        EXPECT_EQ(stateReasons(status), r.reasons);
    }
}

// A process ID names the job, the attempt and the piece: an answer left
// from an earlier job or connection (a USB printer's device keeps unread
// answers) must never match a piece of this one.
TEST(EscposLink, ProcessIdsOfOtherJobsAttemptsAndPiecesNeverMeet)
{
    const struct {
        const char *what;
        int job;
        unsigned attempt;
        std::size_t piece;
    } others[] = {
        {"the next job", 8, 1, 0},
        {"the next attempt", 7, 2, 0},
        {"the next piece", 7, 1, 1},
        {"a far piece", 7, 1, 94},
    };
    const std::string mine = processIdOf(7, 1, 0);
    std::set<std::string> seen{mine, probeIdOf(7, 1)};
    for (const auto &o : others) {
        SCOPED_TRACE(o.what);
        const std::string id = processIdOf(o.job, o.attempt, o.piece);
        ASSERT_EQ(id.size(), 4u);
        for (char c : id)
            EXPECT_TRUE(c >= 32 && c <= 126) << int(c);
        EXPECT_TRUE(seen.insert(id).second) << "meets another ID";
    }
    for (std::size_t piece = 0; piece < 94 * 94 - 1; ++piece)
        ASSERT_NE(processIdOf(7, 1, piece), probeIdOf(7, 1)) << piece;
}

TEST(EscposLink, JobStateResumesByNameAndDocumentAndReachesTheDiskWhole)
{
    const testsupport::TempAppDir dir;
    const std::string d = dir.path().toStdString();
    const std::string doc = "receipt one|receipt two|";
    std::string error;
    // Job 5 confirmed one of two; job 6 ("till 3") both.
    for (const auto &[job, title, confirmed] : {std::tuple{5, "till 1", 1}, std::tuple{6, "till 3", 2}}) {
        JobState first(d, job, title, doc, 2);
        first.attempt = 3;
        first.confirmed = static_cast<std::size_t>(confirmed);
        first.uuid = "urn:uuid:" + std::to_string(job);
        g_flushed.clear();
        ASSERT_TRUE(first.save(error)) << error;
        EXPECT_EQ(std::count(g_flushed.begin(), g_flushed.end(), first.path() + ".new"), 1)
            << "the state is flushed before it is renamed";
    }
    const struct {
        const char *what;
        int job;
        const char *title;
        std::string document;
        bool listedCompleted; // the print server still lists job 6 as completed
        std::size_t confirmed;
        unsigned attempt;
    } rows[] = {
        // Sent again under another number or name, or completed and forgotten: EscposBackend's rows.
        {"a retry resumes", 5, "till 1", doc, false, 1, 3},
        {"another document starts over", 9, "till 1", "receipt one|receipt 2|", false, 0, 0},
        {"a completed job still listed: the same name and bytes print again", 9, "till 3", doc, true, 0, 3},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        JobState again(d, r.job, r.title, r.document, 2);
        bool restarted = false;
        const auto listed = [&](int id, const std::string &uuid) { return r.listedCompleted && id == 6 && uuid == "urn:uuid:6"; };
        ASSERT_TRUE(again.load(error, listed, restarted)) << error;
        EXPECT_EQ(again.confirmed, r.confirmed);
        EXPECT_EQ(again.attempt, r.attempt) << "attempts count on, so no earlier answer matches";
    }

    // Swept a week after it was last written, whatever became of its job.
    const std::string old = JobState(d, 5, "till 1", doc, 2).path();
    std::filesystem::last_write_time(old, std::filesystem::file_time_type::clock::now() - JobState::kKeep - 1h);
    JobState::sweep(d);
    EXPECT_FALSE(std::filesystem::exists(old));
    EXPECT_TRUE(std::filesystem::exists(JobState(d, 6, "till 3", doc, 2).path()));

    // Where the state cannot be renamed into place the message says why,
    // never "Success".
    const JobState blocked(d, 1, "till 8", "x", 1);
    std::filesystem::create_directories(blocked.path() + "/kept");
    EXPECT_FALSE(blocked.save(error));
    EXPECT_NE(error.find("directory"), std::string::npos) << error;
    EXPECT_EQ(error.find("Success"), std::string::npos) << error;

    // One silent connection is not a silent printer: a printer taken for
    // silent is given a quarter of the wait for its process-ID answers.
    const PrinterMemory memory(d, "escpos://printer");
    for (unsigned i = 0; i < PrinterMemory::kSilentAfter; ++i, memory.probeUnanswered())
        EXPECT_FALSE(memory.rememberedSilent()) << i;
    EXPECT_TRUE(memory.rememberedSilent());
    memory.probeAnswered();
    EXPECT_FALSE(memory.rememberedSilent());
}

TEST(EscposLink, DeviceUris)
{
    const struct {
        const char *uri;
        bool ok;
        const char *device;
        std::size_t window;
        Confirm confirm;
    } rows[] = {
        {"escpos://printer:9100/?confirm=status&window=3", true, "", 3, Confirm::Status},
        {"escpos://printer", true, "", kDefaultWindow, Confirm::Auto},
        {"escpos:/dev/usb/lp0", true, "/dev/usb/lp0", kDefaultWindow, Confirm::Auto},
        {"escpos:///dev/usb/lp0", true, "/dev/usb/lp0", kDefaultWindow, Confirm::Auto},
        {"escpos://printer/?window=0", true, "", 0, Confirm::Auto},
        // lp may write more than printers: only devices are printers.
        {"escpos:/etc/cups/printers.conf", false, "", 0, Confirm::Auto},
        {"escpos:/dev/../var/spool/cups/c00001", false, "", 0, Confirm::Auto},
        {"escpos:/dev/", false, "", 0, Confirm::Auto},
        {"escpos://printer/?window=many", false, "", 0, Confirm::Auto},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.uri);
        std::string error;
        const auto uri = parseDeviceUri(r.uri, error);
        ASSERT_EQ(uri.has_value(), r.ok) << error;
        if (!uri) {
            EXPECT_NE(error.find(r.uri), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(uri->device, r.device);
        EXPECT_EQ(uri->window, r.window);
        EXPECT_EQ(uri->confirm, r.confirm);
    }
}

} // namespace
