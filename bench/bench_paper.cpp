// Receipts on paper through the private print server and the escpos backend
// while the test printer misbehaves as real ones do, beside a plain socket://
// queue where it tells: what was lost, what printed twice, whether the order
// held, and what the queue said meanwhile.
//
//   bench_paper                          every scenario
//   KV_OFF_SECONDS=600 bench_paper       the printer switched off this long (default 600)
//   KV_PAPER_SECONDS=60 bench_paper      out of paper this long (default 60)
//   KV_PAPER_SCENARIOS="restart paper"   only these (restart reset off paper)
#include "escpos/vbEscpos.h"
#include "platform/posix/cupsspooler.h"
#include "testenv.h"
#include "testprinter.h"

#include <cups/cups.h>

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

// Jobs of 20 receipts, each met by one restart or reset of the printer.
void restarts(TestPrinter &printer, const char *backend, const char *what, bool reset)
{
    const std::string tag = std::string(backend) + (reset ? "-reset" : "-restart");
    const auto mark = printer.mark();
    const auto t0 = Clock::now();
    std::vector<int> jobs;
    constexpr int kJobs = 6, kPerJob = 20;
    for (int j = 0; j < kJobs; ++j) {
        if (reset)
            printer.order("reset-accepts 1");
        else
            printer.order("restart-after " + std::to_string(120 + 97 * j));
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
        if (wanted("off"))
            away(printer, backend, ("printer switched off for " + std::to_string(off) + " s").c_str(), off, false);
        if (wanted("paper") && std::string(backend) == "escpos")
            away(printer, backend, ("out of paper for " + std::to_string(paper) + " s").c_str(), paper, true);
    }
    printer.connectQueue("escpos");
    return 0;
}
