// The loop's seconds. The tick is a second of its own: the watchdog's quiet
// look on every fourth, its check on the eleventh (the cycle then starts
// again), the re-listen on every hundredth. The loop sleeps through the ticks
// with nothing to do and counts them when it wakes, so every look and check
// keeps its second; this class says which pass is a tick, which tick has work,
// and when the next one is due.
#pragma once

#include <QtGlobal>

namespace kv {

class LoopCadence {
public:
    static constexpr int kPassIntervalMs = 1000;
    static constexpr int kPassesPerRelisten = 100;
    // The watchdog's check and the look for a newer copy run on this tick of
    // their cycle (the eleventh), which then starts again.
    static constexpr qint16 kPeriodicCheckTick = 11;
    // The watchdog's quiet look between two checks runs on every tick of the
    // cycle that is a multiple of this (the fourth and the eighth).
    static constexpr qint16 kProbeEveryNthTick = 4;

    enum class Look { None, Probe, Check };

    // Ticks into the check's cycle, and since the last re-listen.
    qint16 tickCount = 0;
    int passCounter = 0;

    // The loop starts: the first tick is a second from now.
    void start(qint64 now);
    // A pass that begins now counts the ticks slept through and is a tick of
    // its own when one is due.
    bool passBegins(qint64 now);
    // A pass a test stands for a second with: always a tick.
    void tickBegins(qint64 now);
    // Counts the tick and says which look it brings.
    Look countTick();
    // Counts the tick towards the re-listen; true when it is due.
    bool countRelisten();
    // The next look is the eleven-second check.
    bool checkComesNext() const;
    // When the next tick with work is due: the next tick when work is out
    // (`busy`), else the next look (or re-listen, when `relistening`).
    qint64 nextDueTickMs(bool busy, bool relistening) const;
    // When the loop should wake for something due at `at`: then, unless it
    // was due at the last pass already and that pass left it (a tick that
    // ended early): then at the next tick, as before.
    qint64 wakeFor(qint64 at) const { return at > m_lastPassMs ? at : m_nextTickMs; }
    qint64 lastPassMs() const { return m_lastPassMs; }
    // Milliseconds from `now` to the next second of the ticks.
    qint64 msToNextSecond(qint64 now) const;

private:
    void tickAt(qint64 now);

    qint64 m_nextTickMs = 0;
    qint64 m_lastPassMs = 0;
};

} // namespace kv
