#include "launcher/loopcadence.h"

#include <algorithm>

namespace kv {

void LoopCadence::start(qint64 now)
{
    tickCount = 0;
    passCounter = 0;
    m_nextTickMs = now + kPassIntervalMs;
}

bool LoopCadence::passBegins(qint64 now)
{
    // The timer's clock and the launcher's may differ by a rounding.
    constexpr qint64 kTickSlackMs = 5;
    m_lastPassMs = now;
    if (now + kTickSlackMs < m_nextTickMs)
        return false;
    // Never past the check: after a stall (a suspended till) one check runs,
    // as one pass did when the timer came late.
    const qint64 slept = std::max<qint64>(0, (now - m_nextTickMs) / kPassIntervalMs);
    tickCount = qint16(std::min<qint64>(tickCount + slept, kPeriodicCheckTick - 1));
    passCounter = int(std::min<qint64>(passCounter + slept, kPassesPerRelisten - 1));
    tickAt(now);
    return true;
}

void LoopCadence::tickBegins(qint64 now)
{
    m_lastPassMs = now;
    tickAt(now);
}

void LoopCadence::tickAt(qint64 now)
{
    // The next tick keeps the seconds of those before it, slept through or not.
    m_nextTickMs += kPassIntervalMs * (1 + std::max<qint64>(0, (now - m_nextTickMs) / kPassIntervalMs));
}

LoopCadence::Look LoopCadence::countTick()
{
    if (++tickCount >= kPeriodicCheckTick) {
        tickCount = 0;
        return Look::Check;
    }
    return tickCount % kProbeEveryNthTick == 0 ? Look::Probe : Look::None;
}

bool LoopCadence::countRelisten()
{
    if (++passCounter < kPassesPerRelisten)
        return false;
    passCounter = 0;
    return true;
}

bool LoopCadence::checkComesNext() const
{
    qint16 next = tickCount + 1;
    while (next < kPeriodicCheckTick && next % kProbeEveryNthTick != 0)
        ++next;
    return next >= kPeriodicCheckTick;
}

qint64 LoopCadence::nextDueTickMs(bool busy, bool relistening) const
{
    if (busy)
        return m_nextTickMs;
    qint64 ticks = 1;
    while (tickCount + ticks < kPeriodicCheckTick && (tickCount + ticks) % kProbeEveryNthTick != 0)
        ++ticks;
    if (relistening)
        ticks = std::min<qint64>(ticks, std::max(1, kPassesPerRelisten - passCounter));
    return m_nextTickMs + (ticks - 1) * kPassIntervalMs;
}

qint64 LoopCadence::msToNextSecond(qint64 now) const
{
    const qint64 late = now - m_nextTickMs;
    return late <= 0 ? std::min<qint64>(-late, kPassIntervalMs)
                     : (kPassIntervalMs - late % kPassIntervalMs) % kPassIntervalMs;
}

} // namespace kv
