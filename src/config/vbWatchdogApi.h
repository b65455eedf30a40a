// What start-up and the main tick ask of the database watchdog and of the
// update procedure. The real ones live beside this (vbWatchdog, vbUpdate);
// tests of start-up and the tick put recording fakes in their place.
#pragma once

#include "station/vbConfig.h"
#include "core/outcome.h"

#include <QtGlobal>

namespace kv {

class DatabaseWatchdog {
public:
    virtual ~DatabaseWatchdog() = default;
    // The check of the database connection, in two halves so that the window
    // thread never waits for the server: the tick that is due hands the check
    // over, and a later tick applies what it found. False when a check is
    // still in flight; that one then stands for this request too. Never
    // throws.
    virtual bool testDatabaseConnection(const LauncherSettings &settings) = 0;
    // A quiet look between two checks, so that a server that stops answering
    // is noticed well before the next check is due: while the connection is
    // up it runs the check's query and logs nothing when it answers; one that
    // fails is applied as a failed check. False when a check is in flight or
    // the connection is not up (reconnects keep the checks' pace).
    virtual bool probeDatabaseConnection(const LauncherSettings &settings) = 0;
    // Applies a finished check: its log lines, the outage count and notices,
    // the reconnect's kill. 0 when it ended with a working connection, 1 when
    // it failed; -1 when no finished check waits. Never throws.
    virtual qint32 applyDatabaseTest() = 0;
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
