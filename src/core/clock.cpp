#include "core/clock.h"

#include <chrono>
#include <thread>

namespace kv {

qint64 SystemClock::monotonicMs() const
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QDateTime SystemClock::now() const
{
    return QDateTime::currentDateTime();
}

void SystemClock::sleepMs(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void FakeClock::sleepMs(int ms)
{
    if (ms <= 0)
        return;
    m_slept += ms;
    advanceMs(ms);
}

void FakeClock::advanceMs(qint64 ms)
{
    const std::lock_guard lock(m_wallLock);
    m_mono += ms;
    m_wall = m_wall.addMSecs(ms);
}

} // namespace kv
