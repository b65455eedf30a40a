// Time as the core sees it. Supervision delays and the main loop's sleep go
// through this so tests can move time instead of waiting for it.
#pragma once

#include <atomic>
#include <mutex>

#include <QDateTime>
#include <QtGlobal>

namespace kv {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a clock that never jumps (not wall-clock time).
    virtual qint64 monotonicMs() const = 0;
    // Local wall-clock time, for what the user reads.
    virtual QDateTime now() const = 0;
    virtual void sleepMs(int ms) = 0;
};

class SystemClock final : public Clock {
public:
    qint64 monotonicMs() const override;
    QDateTime now() const override;
    void sleepMs(int ms) override;
};

// Time moves only when told to; sleeping moves it by the amount slept.
class FakeClock final : public Clock {
public:
    explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 1, 1), QTime(12, 0)))
        : m_wall(std::move(start)) {}
    FakeClock(const FakeClock &other) : m_mono(other.m_mono.load()), m_slept(other.m_slept.load()), m_wall(other.now()) {}
    FakeClock &operator=(const FakeClock &other)
    {
        const QDateTime wall = other.now();
        const std::lock_guard lock(m_wallLock);
        m_mono = other.m_mono.load();
        m_slept = other.m_slept.load();
        m_wall = wall;
        return *this;
    }

    // A clock is read by workers too (a job's deadline, the status row's
    // due write) while the test's thread moves it: every field is guarded.
    qint64 monotonicMs() const override { return m_mono; }
    QDateTime now() const override
    {
        const std::lock_guard lock(m_wallLock);
        return m_wall;
    }
    void sleepMs(int ms) override;

    void advanceMs(qint64 ms);
    void setNow(const QDateTime &wall)
    {
        const std::lock_guard lock(m_wallLock);
        m_wall = wall;
    }
    qint64 totalSleptMs() const { return m_slept; }

private:
    std::atomic<qint64> m_mono = 1'000'000;
    std::atomic<qint64> m_slept = 0;
    mutable std::mutex m_wallLock;
    QDateTime m_wall;
};

} // namespace kv
