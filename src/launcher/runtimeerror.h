// A run-time error as the launcher shows or logs it: the number and the
// description of whatever a step threw.
#pragma once

#include "station/vbConfig.h"
#include "config/vbWatchdogApi.h"
#include "core/eventlog.h"
#include "launcher/openquestions.h"

#include <QString>

#include <exception>
#include <functional>
#include <optional>

namespace kv {

struct RunTimeError {
    int number = 0;
    QString description;
};

// Database errors keep their own number; the others get the number of the
// run-time error they stand for. nullopt for what is no error of ours to
// describe (neither a database error nor a std::exception).
std::optional<RunTimeError> runTimeErrorOf(std::exception_ptr thrown);

// The box's text: "Run-time error '<number>':" and the description.
QString runTimeErrorText(const RunTimeError &error);

// How the launcher meets a run-time error: in the loop without a word to the
// person, in start-up and in a menu command with a box.
class RunTimeErrors {
public:
    // The connection the watchdog checks after an error is `settings`'.
    RunTimeErrors(EventLog &log, DatabaseWatchdog &watchdog, const LauncherSettings &settings, LauncherBoxes &boxes)
        : m_log(log), m_watchdog(watchdog), m_settings(settings), m_boxes(boxes)
    {
    }

    // The error being handled ends a tick or pass: logged, with `where`, and
    // the database connection is checked.
    void swallow(const char *where);
    // Runs `step`; an error it throws is shown as a run-time error. False
    // when it threw. Menu commands run inside Qt's event dispatch, which no
    // exception may cross.
    bool reporting(const std::function<void()> &step);

private:
    EventLog &m_log;
    DatabaseWatchdog &m_watchdog;
    const LauncherSettings &m_settings;
    LauncherBoxes &m_boxes;
};

} // namespace kv
