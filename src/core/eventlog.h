// What the launcher did, for an admin to read afterwards ("why did this
// receipt not print?", "why did the card reader restart?"): one line per
// event on standard error. Under a systemd-started session (JOURNAL_STREAM
// set) each line starts with its sd-daemon priority, so journald files it by
// priority and stamps its own time; in a plain session each line carries the
// time and the priority's name.
#pragma once

#include "core/clock.h"

#include <QString>

#include <cstdio>
#include <mutex>

namespace kv {

// The sd-daemon priorities the launcher uses.
enum class LogPriority { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

class EventLog {
public:
    virtual ~EventLog() = default;
    // One event, without a line end. Never throws; any thread.
    virtual void log(LogPriority priority, const QString &event) = 0;

    void error(const QString &event) { log(LogPriority::Error, event); }
    void warning(const QString &event) { log(LogPriority::Warning, event); }
    void notice(const QString &event) { log(LogPriority::Notice, event); }
    void info(const QString &event) { log(LogPriority::Info, event); }
    void debug(const QString &event) { log(LogPriority::Debug, event); }
};

class StreamEventLog final : public EventLog {
public:
    // journal: the stream goes to journald (JOURNAL_STREAM was set).
    StreamEventLog(std::FILE *stream, const Clock &clock, bool journal);
    void log(LogPriority priority, const QString &event) override;

private:
    std::FILE *m_stream;
    const Clock &m_clock;
    bool m_journal;
    std::mutex m_lock;
};

// The line as it is written, without its line end.
QString eventLine(LogPriority priority, const QString &event, const QDateTime &at, bool journal);

} // namespace kv
