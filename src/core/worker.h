// Work that may wait on the outside (a frozen database, a print server that
// hangs) must not hold up the till's only window thread. Such work is handed
// to a Worker, one job at a time; the thread that handed it over looks at a
// later tick whether the job is done and then reads what it left behind. It
// never waits for it.
//
// One owner per object: whatever a job touches is the job's own (copied or
// moved into it, or an object no other thread uses), immutable while it runs,
// or guarded by a lock. The thread that handed the job over reads what the job
// wrote only once busy() reads false, and never shares with a job an object
// that it, or another job, may change meanwhile.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace kv {

class Worker {
public:
    virtual ~Worker() = default;
    // Starts the job; false, and nothing starts, while the previous job
    // still runs. The job must not throw (what escapes is dropped).
    virtual bool start(std::function<void()> job) = 0;
    // True from start until the job has returned. Once it reads false,
    // everything the job wrote is visible to the caller.
    virtual bool busy() const = 0;
    // Waits at most timeoutMs for the running job; true when none runs.
    // For leaving in order and for tests, never for a tick.
    virtual bool waitIdle(int timeoutMs) = 0;
    // Gives up on a job that overran its time: the worker is idle at once and
    // the next job runs on a new thread, while the old one finishes the given
    // up job on its own (which must therefore own what it touches).
    virtual void abandon() = 0;
};

// A thread of its own, started with the first job and kept for the next.
// Destroying it while a job runs does not wait: the thread is left to finish
// that job on its own, which must therefore own (share) what it touches.
class ThreadWorker final : public Worker {
public:
    ThreadWorker();
    ~ThreadWorker() override;
    ThreadWorker(const ThreadWorker &) = delete;
    ThreadWorker &operator=(const ThreadWorker &) = delete;

    // Jobs of every ThreadWorker of the process that have not ended yet,
    // given-up ones included, with everything they hold. While it is above
    // 0 a thread of ours may be inside a library (the ODBC driver, libcups),
    // so the process must leave without tearing its libraries down.
    static int jobsUnfinished();

    bool start(std::function<void()> job) override;
    bool busy() const override;
    bool waitIdle(int timeoutMs) override;
    void abandon() override;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

// Runs the job inside start(), on the caller's thread: for tests that want
// a tick's hand-over and its result one tick later without a second thread.
class InlineWorker final : public Worker {
public:
    bool start(std::function<void()> job) override;
    bool busy() const override { return false; }
    bool waitIdle(int) override { return true; }
    void abandon() override {}
    int jobsRun() const { return m_jobs; }

private:
    int m_jobs = 0;
};

} // namespace kv
