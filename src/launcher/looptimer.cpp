#include "launcher/looptimer.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace kv {

LoopTimer::LoopTimer(LauncherState &state, LibraryJobs &library, const OpenQuestions &questions,
                     DatabaseWatchdog &watchdog, Clock &clock, Loop loop)
    : m_state(state),
      m_library(library),
      m_questions(questions),
      m_watchdog(watchdog),
      m_clock(clock),
      m_loop(std::move(loop)),
      m_programWatch([this] { planWake(); })
{
    m_timer.setSingleShot(true);
    // The loop wakes at the very time something is due; a coarse timer may
    // come early and cost another wake.
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { onPassTimer(); });
    // A program started or stopped by hand is waited on from then on.
    m_state.managedPrograms.setRunsChanged([this] {
        if (!m_inPass)
            scheduleNext();
    });
}

void LoopTimer::start()
{
    cadence.start(m_clock.monotonicMs());
    if (m_state.windows.status)
        m_state.windows.status->setPrinterChanged([this] { planWake(); });
    scheduleNext();
}

void LoopTimer::onPassTimer()
{
    if (m_inPass || m_state.ended)
        return;
    if (!m_state.launcherRunning) {
        m_loop.finish();
        return;
    }
    m_loop.pass();
    if (m_state.ended)
        return;
    if (m_state.launcherRunning)
        scheduleNext();
    else
        m_loop.finish();
}

bool LoopTimer::passBegins(bool fromTimer)
{
    const qint64 now = m_clock.monotonicMs();
    bool tick = true;
    if (fromTimer)
        tick = cadence.passBegins(now);
    else
        cadence.tickBegins(now);
    m_inPass = true;
    m_programWatch.passBegins();
    return tick;
}

bool LoopTimer::wantsNextTick() const
{
    return m_programWatch.polled() || m_watchdog.lookPending() ||
           m_questions.waiting(OpenQuestions::Step::FrontEndEnd) ||
           m_questions.waiting(OpenQuestions::Step::Notification) ||
           (m_state.escPosEnabled && m_library.wantsNextTick());
}

void LoopTimer::scheduleNext()
{
    if (m_state.ended || !m_state.launcherRunning)
        return;
    m_programWatch.follow(m_state.managedPrograms.managedPrograms);
    planWake();
}

void LoopTimer::planWake()
{
    // Inside a pass: its end plans the next.
    if (m_state.ended || !m_state.launcherRunning || m_inPass)
        return;
    qint64 due = cadence.nextDueTickMs(wantsNextTick(), m_state.escPosEnabled && m_state.libraryConnection != 0);
    const auto wakeAt = [&](qint64 at) { due = std::min(due, cadence.wakeFor(at)); };
    if (const std::optional<qint64> restart = m_state.managedPrograms.nextRestartDueMs())
        wakeAt(*restart);
    if (m_state.escPosEnabled && !m_library.busy()) {
        if (const std::optional<qint64> retry = m_library.retryDueMs())
            wakeAt(*retry);
    }
    const qint64 now = m_clock.monotonicMs();
    if (m_state.escPosEnabled && m_state.windows.status) {
        const StationStatus &status = *m_state.windows.status;
        // What the printer's look found changed goes to the office at once.
        due = status.printerChangeWaiting() ? now : std::min(due, cadence.wakeFor(status.printerLookDueMs()));
    }
    // Output comes to the viewer within a second, and a program that writes
    // without pause is read once a second, as before.
    if (m_programWatch.woke())
        wakeAt(cadence.lastPassMs() + LoopCadence::kPassIntervalMs);
    m_wakeAtMs = std::max(due, now);
    m_timer.start(
        int(std::min<qint64>(m_wakeAtMs - now, LoopCadence::kPeriodicCheckTick * LoopCadence::kPassIntervalMs)));
}

void LoopTimer::wakeAtNextSecond()
{
    if (!m_inPass && !m_state.ended && m_timer.isActive())
        m_timer.start(int(cadence.msToNextSecond(m_clock.monotonicMs())));
}

void LoopTimer::stop()
{
    m_timer.stop();
    m_programWatch.clear();
}

} // namespace kv
