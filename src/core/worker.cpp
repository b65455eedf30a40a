#include "core/worker.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace kv {

namespace {
std::atomic<int> g_unfinished{0};
} // namespace

struct ThreadWorker::Shared {
    std::mutex lock;
    std::condition_variable wake;
    std::function<void()> job;
    bool stop = false;
    std::atomic<bool> busy{false};
    std::thread thread;

    void run()
    {
        std::unique_lock guard(lock);
        for (;;) {
            wake.wait(guard, [this] { return stop || job; });
            if (!job)
                return;
            std::function<void()> next = std::move(job);
            job = nullptr;
            guard.unlock();
            try {
                next();
            } catch (...) {
            }
            // What the job held goes with it, inside the count.
            next = nullptr;
            g_unfinished.fetch_sub(1, std::memory_order_acq_rel);
            guard.lock();
            busy.store(false, std::memory_order_release);
            wake.notify_all();
            if (stop)
                return;
        }
    }
};

ThreadWorker::ThreadWorker()
    : m_shared(std::make_shared<Shared>())
{
}

ThreadWorker::~ThreadWorker()
{
    std::unique_lock guard(m_shared->lock);
    m_shared->stop = true;
    m_shared->wake.notify_all();
    if (!m_shared->thread.joinable())
        return;
    if (m_shared->busy.load(std::memory_order_acquire)) {
        // Leaving must not wait for a server that does not answer: the
        // thread keeps the shared state alive until its job returns.
        m_shared->thread.detach();
        return;
    }
    guard.unlock();
    m_shared->thread.join();
}

bool ThreadWorker::start(std::function<void()> job)
{
    const std::shared_ptr<Shared> shared = m_shared;
    {
        std::lock_guard guard(shared->lock);
        if (shared->busy.load(std::memory_order_acquire) || shared->stop)
            return false;
        if (!shared->thread.joinable()) {
            try {
                // The thread holds the shared state, so a detached one never
                // outlives what it uses.
                shared->thread = std::thread([shared] { shared->run(); });
            } catch (const std::system_error &) {
                return false;
            }
        }
        shared->job = std::move(job);
        g_unfinished.fetch_add(1, std::memory_order_acq_rel);
        shared->busy.store(true, std::memory_order_release);
    }
    // Once the lock is free: woken under it, the thread would only wait for
    // it, and an idle till's every look would cost two switches, not one.
    shared->wake.notify_all();
    return true;
}

int ThreadWorker::jobsUnfinished()
{
    return g_unfinished.load(std::memory_order_acquire);
}

bool ThreadWorker::busy() const
{
    return m_shared->busy.load(std::memory_order_acquire);
}

bool ThreadWorker::waitIdle(int timeoutMs)
{
    std::unique_lock guard(m_shared->lock);
    return m_shared->wake.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                   [this] { return !m_shared->busy.load(std::memory_order_acquire); });
}

void ThreadWorker::abandon()
{
    std::unique_lock guard(m_shared->lock);
    if (!m_shared->busy.load(std::memory_order_acquire))
        return;
    m_shared->stop = true;
    m_shared->thread.detach();
    guard.unlock();
    m_shared = std::make_shared<Shared>();
}

bool InlineWorker::start(std::function<void()> job)
{
    ++m_jobs;
    try {
        job();
    } catch (...) {
    }
    return true;
}

} // namespace kv
