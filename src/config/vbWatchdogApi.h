// What start-up and the main tick ask of the database watchdog and of the
// update procedure. The real ones live beside this (vbWatchdog, vbUpdate);
// tests of start-up and the tick put recording fakes in their place.
#pragma once

#include "config/vbConfig.h"
#include "core/outcome.h"

#include <QtGlobal>

namespace kv {

class DatabaseWatchdog {
public:
    virtual ~DatabaseWatchdog() = default;
    // 0 when the call ended with a working connection, 1 when it failed.
    // Never throws.
    virtual qint32 testDatabaseConnection(const LauncherSettings &settings) = 0;
    // Start-up believes the connection up once the schema check passed.
    virtual void setDbConnectionUp(bool up) = 0;
};

class UpdateProcedure {
public:
    virtual ~UpdateProcedure() = default;
    // Runs a requested update: LauncherEnds when the update script was
    // started, Continue when there was nothing to do. Database and file
    // errors after the marker was deleted reach the caller as exceptions.
    virtual Outcome runUpdate() = 0;
    // "Update on Restart": writes the marker and tells the person.
    virtual void requestUpdate() = 0;
};

} // namespace kv
