// Time as the core sees it. Supervision delays and the main loop's sleep go
// through this so tests can move time instead of waiting for it.
#pragma once

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

    qint64 monotonicMs() const override { return m_mono; }
    QDateTime now() const override { return m_wall; }
    void sleepMs(int ms) override;

    void advanceMs(qint64 ms);
    void setNow(const QDateTime &wall) { m_wall = wall; }
    qint64 totalSleptMs() const { return m_slept; }

private:
    qint64 m_mono = 1'000'000;
    qint64 m_slept = 0;
    QDateTime m_wall;
};

} // namespace kv
