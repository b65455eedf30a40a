// What the core showed and logged, for tests: recording notice and log sinks
// and a killer that only notes the names it was asked for.
#pragma once

#include "core/eventlog.h"
#include "core/noticesink.h"

#include <QStringList>

#include <vector>

namespace testsupport {

class RecordingNotices final : public kv::NoticeSink {
public:
    void showNotice(const kv::Notice &notice) override { shown.push_back(notice); }
    std::vector<kv::Notice> shown;
};

class RecordingLog final : public kv::LogSink {
public:
    // Newest first, as the debug window shows them.
    void logLine(const QString &line) override { lines.prepend(line); }
    QStringList lines;
};

// Events as "<priority>text", in the order they came.
class RecordingEventLog final : public kv::EventLog {
public:
    void log(kv::LogPriority priority, const QString &event) override
    {
        lines.append(QStringLiteral("<%1>").arg(int(priority)) + event);
    }
    QStringList lines;
};

class RecordingKiller final : public kv::ImageKiller {
public:
    int killImage(const QString &imageName) override
    {
        names.append(imageName);
        return 0;
    }
    QStringList names;
};

} // namespace testsupport
