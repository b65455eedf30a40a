// What start-up and the main tick ask of the database watchdog and of the
// update procedure. The real ones live beside this (vbWatchdog, vbUpdate);
// tests of start-up and the tick put recording fakes in their place.
#pragma once

#include "station/vbConfig.h"
#include "core/outcome.h"

#include <QtGlobal>

#include <functional>

namespace kv {

namespace odbc {
class Connection;
}

// Work that uses the watchdog's connection after a look found it working
// (the till's status row), so that the till needs no connection of its own
// for it. It runs as a job of its own, once the look's verdict has been
// given: however slow it is, it is never an outage.
struct ConnectionRider {
    // Asked on the window thread while a look is out: is there work that
    // waits for its verdict (the loop then wakes for the verdict)?
    std::function<bool()> due;
    // On the window thread, as the work is handed to the worker: the work,
    // with what it will carry taken from the moment it is handed, so that
    // nothing asks for another look for it meanwhile; empty when there is
    // none. The job runs on the watchdog's worker, bounds itself (its own
    // statement deadline) and never throws; it gives back what it took when
    // it ends, or when it is dropped unrun.
    std::function<std::function<void(odbc::Connection &)>()> take;
    // Should the work not have ended after this long all the same, it is
    // left to finish on its own thread with the connection it has.
    int boundMs = 0;
    // The server is asked to cancel a statement on the watchdog's
    // connection, looks and riders alike, after this long: the longest a
    // rider's statement may take (the status row's write, which a slow
    // server must still be given). One value for all, or the driver would
    // set it before every write and again before the next look.
    static constexpr int kServerTimeoutMs = 8000;
};

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
    // A look is out or waits to start: the next tick applies or starts it.
    virtual bool lookPending() const { return false; }
    // Start-up believes the connection up once the schema check passed.
    virtual void setDbConnectionUp(bool up) = 0;
    // The launcher's last words on the watchdog's connection (the status
    // row saying it stopped), on the way out, on the worker and never beside
    // what runs there now: Busy while that still runs (ask again later),
    // NotRun when the connection is not up. The caller bounds the wait and
    // watches lastRunning(); the window thread waits for neither.
    enum class Last { Started, Busy, NotRun };
    virtual Last startLast(const std::function<void(odbc::Connection &)> &work)
    {
        (void)work;
        return Last::NotRun;
    }
    virtual bool lastRunning() const { return false; }
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
