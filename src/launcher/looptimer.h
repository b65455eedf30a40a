// When the loop wakes (vbMain.h says what it sleeps through and what wakes
// it): the timer set for what is due next, the programs' pipes watched
// between passes, and the seconds of the ticks. Each pass is the launcher's;
// this class says when one runs and whether it is a tick.
#pragma once

#include "config/vbWatchdogApi.h"
#include "core/clock.h"
#include "launcher/launcherstate.h"
#include "launcher/libraryjobs.h"
#include "launcher/loopcadence.h"
#include "launcher/openquestions.h"
#include "launcher/programwatch.h"

#include <QTimer>

#include <functional>

namespace kv {

class LoopTimer {
public:
    struct Loop {
        // A pass from the timer, which may find no tick due.
        std::function<void()> pass;
        // The launcher no longer runs: the way out.
        std::function<void()> finish;
    };

    // `questions`: a question waiting for its answer keeps a tick a second.
    LoopTimer(LauncherState &state, LibraryJobs &library, const OpenQuestions &questions, DatabaseWatchdog &watchdog,
              Clock &clock, Loop loop);

    // The ticks' seconds and the looks they bring.
    LoopCadence cadence;

    // The loop starts: the first tick is a second from now.
    void start();
    // What the timer does when it fires: a pass (with its tick when a tick
    // is due; else for a program's output or end, a restart or a retry that
    // fell due between ticks), then the timer set for what is due next.
    // Tests call it with the clock set to nextWakeMs().
    void onPassTimer();
    // When the timer is set to fire (monotonic).
    qint64 nextWakeMs() const { return m_wakeAtMs; }
    // A pass begins (fromTimer: the timer's, which may find no tick due);
    // true when it is a tick.
    bool passBegins(bool fromTimer);
    void passEnds() { m_inPass = false; }
    bool inPass() const { return m_inPass; }
    // Watches what runs now and sets the timer for what is due next.
    void scheduleNext();
    void planWake();
    // Exit was chosen: the loop may sleep for seconds, and ends at the next
    // second of its ticks, as it did when it ticked every second.
    void wakeAtNextSecond();
    // The loop is over: nothing wakes it any more.
    void stop();

private:
    // Work is out that the next tick takes up.
    bool wantsNextTick() const;

    LauncherState &m_state;
    LibraryJobs &m_library;
    const OpenQuestions &m_questions;
    DatabaseWatchdog &m_watchdog;
    Clock &m_clock;
    Loop m_loop;
    QTimer m_timer;
    // The programs' pipes the loop waits on between passes.
    ProgramWatch m_programWatch;
    qint64 m_wakeAtMs = 0;
    bool m_inPass = false;
};

} // namespace kv
