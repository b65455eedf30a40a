// Receipts on paper through the private print server and the escpos backend
// while the test printer misbehaves as real ones do, beside a plain socket://
// queue where it tells: what was lost, what printed twice, whether the order
// held, and what the queue said meanwhile.
//
// Then the escpos backend alone: a printer that never answers process-ID
// requests, paper out in mid-job with more receipts than its buffer holds,
// and receipts per second with a window of unconfirmed receipts beside
// sending everything at once.
//
//   bench_paper                          every scenario
//   KV_OFF_SECONDS=600 bench_paper       the printer switched off this long (default 600)
//   KV_PAPER_SECONDS=60 bench_paper      out of paper this long (default 60)
//   KV_PAPER_SCENARIOS="restart paper"   only these (restart reset off paper
//                                        keep noanswer paperjob window latency)
#include "escpos/vbEscpos.h"
#include "platform/posix/cupsspooler.h"
#include "testenv.h"
#include "testprinter.h"

#include <cups/cups.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testprinter::TestPrinter;

namespace {

int envInt(const char *name, int fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

bool wanted(const char *scenario)
{
    const char *only = std::getenv("KV_PAPER_SCENARIOS");
    return !only || !*only || std::string(" ") .append(only).append(" ").find(std::string(" ") + scenario + " ") != std::string::npos;
}

// Waits until none of the jobs is pending, held or printing.
bool allDone(const std::string &queue, const std::vector<int> &jobs, std::chrono::seconds timeout)
{
    for (const auto until = Clock::now() + timeout; Clock::now() < until; std::this_thread::sleep_for(200ms)) {
        bool done = true;
        for (int id : jobs)
            done = done && testprinter::jobState(queue, id) >= IPP_JSTATE_CANCELED;
        if (done)
            return true;
    }
    return false;
}

int completed(const std::string &queue, const std::vector<int> &jobs)
{
    int n = 0;
    for (int id : jobs)
        n += testprinter::jobState(queue, id) == IPP_JSTATE_COMPLETED;
    return n;
}

std::string wordsNow(const std::string &queue)
{
    kv::platform::CupsSpooler spooler;
    auto printer = spooler.openPrinter(queue);
    return printer ? kv::escpos::reasonsInWords(printer->stateReasons()).join(", ").toStdString() : "?";
}

void row(const char *backend, const char *scenario, int receipts, const testprinter::Paper &paper, int jobsDone,
         int jobs, double seconds, const std::string &extra = {})
{
    std::printf("%-8s %-44s receipts=%4d lost=%3d twice=%2d in_order=%s jobs_completed=%d/%d %6.1f s %s\n", backend,
                scenario, receipts, paper.lost, paper.twice, paper.inOrder ? "yes" : "NO", jobsDone, jobs, seconds,
                extra.c_str());
    std::fflush(stdout);
}

// Jobs of 20 receipts, each met by one restart or reset of the printer
// (keeping its buffer through the restart, when told).
void restarts(TestPrinter &printer, const char *backend, const char *what, bool reset, bool keep = false)
{
    const std::string tag = std::string(backend) + (reset ? "-reset" : keep ? "-keep" : "-restart");
    const auto mark = printer.mark();
    const auto t0 = Clock::now();
    std::vector<int> jobs;
    constexpr int kJobs = 6, kPerJob = 20;
    for (int j = 0; j < kJobs; ++j) {
        if (reset)
            printer.order("reset-accepts 1");
        else
            printer.order("restart-after " + std::to_string(120 + 97 * j));
        if (keep)
            printer.order("keep-buffer 1");
        printer.order("print-ms 30");
        jobs.push_back(testprinter::submit(printer.queue(), testprinter::receipts(tag, kPerJob, 1 + j * kPerJob)));
        if (jobs.back() == 0)
            std::printf("job refused: %s\n", cupsLastErrorString());
        allDone(printer.queue(), {jobs.back()}, 120s);
    }
    printer.order("print-ms 0");
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    row(backend, what, kJobs * kPerJob, testprinter::readPaper(printer.printedSince(mark), tag, kJobs * kPerJob),
        completed(printer.queue(), jobs), kJobs, s);
}

// A receipt a second while the printer is away (switched off, or out of
// paper) and ten more after it is back; the queue's words sampled meanwhile.
// As the launcher does, receipts the print server refuses (it keeps at most
// 500 jobs) wait and go out with the next one in a single job.
void away(TestPrinter &printer, const char *backend, const char *what, int seconds, bool paper)
{
    const std::string tag = std::string(backend) + (paper ? "-paper" : "-off");
    const auto mark = printer.mark();
    const auto t0 = Clock::now();
    if (paper) {
        printer.order("paper-end 1");
    } else {
        printer.order("off-ms " + std::to_string(seconds * 1000));
        printer.order("restart-after 1");
    }
    std::vector<int> jobs;
    int n = 0, saidSo = 0, samples = 0, refused = 0;
    std::string words, waiting;
    const auto queue = [&] {
        waiting += testprinter::receipts(tag, 1, ++n);
        if (const int id = testprinter::submit(printer.queue(), waiting)) {
            jobs.push_back(id);
            waiting.clear();
        } else {
            ++refused;
        }
    };
    for (; Clock::now() - t0 < std::chrono::seconds(seconds); std::this_thread::sleep_for(1s)) {
        queue();
        const std::string w = wordsNow(printer.queue());
        ++samples;
        if (!w.empty()) {
            ++saidSo;
            words = w;
        }
    }
    if (paper)
        printer.order("paper-end 0");
    for (int i = 0; i < 10 || !waiting.empty(); ++i, std::this_thread::sleep_for(1s))
        queue();
    allDone(printer.queue(), jobs, std::chrono::seconds(120));
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    std::ostringstream extra;
    extra << "queue_said=\"" << words << "\" in " << saidSo << "/" << samples << " looks while away, " << refused
          << " times refused";
    row(backend, what, n, testprinter::readPaper(printer.printedSince(mark), tag, n), completed(printer.queue(), jobs),
        int(jobs.size()), s, extra.str());
}

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Ten jobs of six receipts, one after the other as NOTIFYs bring them, to a
// printer that takes process-ID requests silently (TM-U220 class).
void noAnswer(TestPrinter &printer)
{
    printer.order("ignore-process-id 1");
    printer.order("print-ms 30");
    const auto mark = printer.mark();
    const auto t0 = Clock::now();
    std::vector<int> jobs;
    double slowest = 0;
    int stuck = 0;
    for (int j = 0; j < 10; ++j) {
        const auto sent = Clock::now();
        jobs.push_back(testprinter::submit(printer.queue(), testprinter::receipts("noanswer", 6, 1 + 6 * j)));
        if (!allDone(printer.queue(), {jobs.back()}, 60s))
            ++stuck;
        slowest = std::max(slowest, since(sent));
    }
    printer.order("ignore-process-id 0");
    printer.order("print-ms 0");
    char extra[96];
    std::snprintf(extra, sizeof extra, "slowest_job=%.1f s stuck=%d", slowest, stuck);
    row("escpos", "never answers process-ID requests", 60,
        testprinter::readPaper(printer.printedSince(mark), "noanswer", 60), completed(printer.queue(), jobs), 10,
        since(t0), extra);
    // The next job finds that it answers again.
    allDone(printer.queue(), {testprinter::submit(printer.queue(), testprinter::receipts("noanswer-after", 1))}, 60s);
}

// Out of paper for `seconds` in the middle of a job of 300 receipts (7 KiB,
// more than the printer's 4 KiB buffer): what the queue said and when.
void paperInJob(TestPrinter &printer, int seconds)
{
    printer.order("print-ms 20");
    const auto mark = printer.mark();
    const auto t0 = Clock::now();
    const int id = testprinter::submit(printer.queue(), testprinter::receipts("paperjob", 300));
    while (printer.held() <= 0 && since(t0) < 30)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(500ms);
    printer.order("paper-end 1");
    const auto out = Clock::now();
    double shownAfter = -1;
    for (; since(out) < seconds; std::this_thread::sleep_for(200ms))
        if (shownAfter < 0 && wordsNow(printer.queue()) == "out of paper")
            shownAfter = since(out);
    printer.order("paper-end 0");
    allDone(printer.queue(), {id}, 120s);
    printer.order("print-ms 0");
    char extra[128];
    std::snprintf(extra, sizeof extra, "out_of_paper_shown_after=%.1f s queue_says_after=\"%s\"", shownAfter,
                  wordsNow(printer.queue()).c_str());
    row("escpos", ("out of paper " + std::to_string(seconds) + " s in a 300-receipt job").c_str(), 300,
        testprinter::readPaper(printer.printedSince(mark), "paperjob", 300), completed(printer.queue(), {id}), 1,
        since(t0), extra);
}

// Receipts per second through the queue with at most `window` receipts
// unconfirmed (0: everything at once), for a printer that prints instantly
// and one that takes 50 ms a receipt.
void windows(TestPrinter &printer)
{
    for (const int window : {1, 2, 3, 0}) {
        printer.connectQueue("escpos", "/?window=" + std::to_string(window));
        for (const int printMs : {0, 50}) {
            printer.order("print-ms " + std::to_string(printMs));
            const auto t0 = Clock::now();
            const int id = testprinter::submit(printer.queue(), testprinter::receipts("window", 60));
            allDone(printer.queue(), {id}, 120s);
            const double s = since(t0);
            std::printf("escpos   window=%-3s print_ms=%-3d 60 receipts in %5.2f s: %6.1f receipts/s\n",
                        window ? std::to_string(window).c_str() : "all", printMs, s, 60 / s);
            std::fflush(stdout);
        }
    }
    printer.order("print-ms 0");
    printer.connectQueue("escpos");
}

// A one-receipt job's time from submission to completion, as the queue is
// set up (the launcher's NOTIFY to the printer's confirmation): the median
// of 15.
void latency(TestPrinter &printer)
{
    std::vector<double> one;
    for (int i = 0; i < 15; ++i) {
        const auto t0 = Clock::now();
        allDone(printer.queue(), {testprinter::submit(printer.queue(), testprinter::receipts("one", 1))}, 60s);
        one.push_back(since(t0));
    }
    std::sort(one.begin(), one.end());
    std::printf("escpos   one receipt, submitted to completed: median %.3f s, slowest %.3f s\n", one[one.size() / 2],
                one.back());
    std::fflush(stdout);
}

} // namespace

int main()
{
    testenv::loadAll();
    TestPrinter printer(testprinter::otherQueue());
    const int off = envInt("KV_OFF_SECONDS", 600), paper = envInt("KV_PAPER_SECONDS", 60);
    for (const char *backend : {"escpos", "socket"}) {
        printer.connectQueue(backend);
        if (wanted("restart"))
            restarts(printer, backend, "printer restarts in mid-job", false);
        if (wanted("reset"))
            restarts(printer, backend, "printer resets the connection at accept", true);
        if (wanted("keep"))
            restarts(printer, backend, "printer restarts keeping its buffer", false, true);
        if (wanted("off"))
            away(printer, backend, ("printer switched off for " + std::to_string(off) + " s").c_str(), off, false);
        if (wanted("paper") && std::string(backend) == "escpos")
            away(printer, backend, ("out of paper for " + std::to_string(paper) + " s").c_str(), paper, true);
    }
    printer.connectQueue("escpos");
    if (wanted("noanswer"))
        noAnswer(printer);
    if (wanted("paperjob"))
        paperInJob(printer, paper);
    if (wanted("window"))
        windows(printer);
    if (wanted("latency"))
        latency(printer);
    return 0;
}
