// The countdown of a notice window, apart from the window, so that what it
// shows at any second can be checked without waiting two hours.
#pragma once

#include <QString>
#include <QtGlobal>

namespace kv::notice {

// A notice closes itself this long after it was loaded.
inline constexpr qint16 kLifetimeSeconds = 7200;

// What the countdown label shows with `secondsLeft` to go: whole minutes,
// the fraction dropped, and "minutes" also for 1 and 0.
QString countdownText(qint16 secondsLeft);

// One window's countdown. The window calls tick() once a second.
struct Countdown {
    qint16 secondsLeft = kLifetimeSeconds;

    // Counts one second down; true when the window is to close now.
    bool tick()
    {
        --secondsLeft;
        return secondsLeft < 1;
    }
    QString text() const { return countdownText(secondsLeft); }
};

} // namespace kv::notice
