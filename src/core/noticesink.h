// What the core shows besides message boxes: the notice windows that tell the
// cashier of an outage or a recovery, and the debug log. The GUI library
// implements both with windows; tests record what arrives.
#pragma once

#include <QString>

namespace kv {

// The three texts of one notice window.
struct Notice {
    QString caption;
    QString noticeText;
    QString notice2;

    bool operator==(const Notice &) const = default;
};

class NoticeSink {
public:
    virtual ~NoticeSink() = default;
    // Opens a new notice window of its own, modeless; the core keeps nothing
    // of it and never waits for it.
    virtual void showNotice(const Notice &notice) = 0;
};

class LogSink {
public:
    virtual ~LogSink() = default;
    // One line for the top of the debug log, without its line end; the
    // caller has already put the time in front.
    virtual void logLine(const QString &line) = 0;
};

// Ends every process of this user that runs a program (the in-process
// replacement for "taskkill /f /im NAME"). The core asks for it through this
// so that the configuration subsystem need not link the process code.
class ImageKiller {
public:
    virtual ~ImageKiller() = default;
    // Returns how many processes were signalled.
    virtual int killImage(const QString &imageName) = 0;
};

} // namespace kv
