// The database watchdog: a connection of its own that is tested now and
// then, reconnected when it fails, and notices for the cashier when an
// outage begins and when it ends. One log line per check.
#pragma once

#include "station/odbc.h"
#include "config/vbWatchdogApi.h"
#include "core/clock.h"
#include "core/eventlog.h"
#include "core/noticesink.h"
#include "core/worker.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

namespace kv {

class Watchdog final : public DatabaseWatchdog {
public:
    // How long "SELECT 1" may wait for the server. A server that answers
    // within five seconds is busy (a checkpoint, a vacuum, a slow link), not
    // gone, and the cashier is not told of an outage. A look (a check or a
    // probe) is made at least every fourth tick and applied at the tick after
    // it ends, so a server that stops answering is told within about eleven
    // seconds; one that answers again is back at the next check, within
    // twelve. Both run on the worker, never on the window thread. A look
    // that answers at once has nothing to tell, so the loop does not wake
    // for its verdict: the next look's tick takes it (see lookPending).
    static constexpr int kTestDeadlineMs = 5500;
    // A look still out after this long may be a server that stopped
    // answering: from then on the loop ticks until its verdict is taken.
    static constexpr int kQuietLookMs = 1000;

    // `worker` runs the connection attempts and test queries; the watchdog
    // is the only one to use it. The driver's deadlines end every look in
    // time; should one not return within these bounds all the same, it
    // counts as failed and its worker is given up.
    static constexpr int kTestBoundMs = kTestDeadlineMs + 2000;
    static constexpr int kReconnectBoundMs = odbc::kLoginTimeoutSeconds * 1000 + kTestDeadlineMs + 2000;
    // `log` is the debug window's; `events` the log an admin reads.
    Watchdog(NoticeSink &notices, LogSink &log, EventLog &events, ImageKiller &killer, const Clock &clock,
             Worker &worker);

    bool testDatabaseConnection(const LauncherSettings &settings) override;
    bool probeDatabaseConnection(const LauncherSettings &settings) override;
    qint32 applyDatabaseTest() override;
    bool lookPending() const override;
    void setDbConnectionUp(bool up) override { dbConnectionUp = up; }
    Last startLast(const std::function<void(odbc::Connection &)> &work) override;
    bool lastRunning() const override { return m_worker.busy(); }
    // Work that follows every look that found the connection working, on the
    // watchdog's worker and connection, so that the till needs no other (its
    // status row). Work due when a look on an open connection starts follows
    // it on the worker at once, once the look has settled its verdict (the
    // loop need not wake to hand it over; the verdict can be taken while it
    // runs); work that falls due while a look is out, or after a reconnect,
    // starts once the verdict has been applied. A look that falls due while
    // it runs waits for it: what it fails at, or how long it takes, is never
    // an outage. A server that stops answering during the write is thus
    // told up to the rider's deadline later than one that stops during a look.
    void setRider(ConnectionRider rider) { m_rider = std::move(rider); }

    bool dbConnectionUp = false;
    // Outages since the launcher started; never reset.
    qint16 outageCount = 0;

private:
    // What the worker touches: it may still hold it after the watchdog is gone.
    struct Probe {
        // Used by nothing else; replaced by a new one on every reconnect.
        odbc::Connection watchdogConnection;
    };
    struct Finding {
        bool reconnect = false;
        // The checks this look stands for, each owed its line: 0 for a probe
        // (an answer logs nothing), 1 for a check, one more for each check
        // asked for while it was out.
        int checks = 0;
        bool ok = false;
        // The verdict is in (ok, error): the rider the look took may run on.
        std::atomic<bool> settled{false};
        bool rides = false;
        qint64 startedAtMs = 0;
        // The server as the driver is asked for it, and what it said.
        QString host;
        QString error;
    };

    // One line of the debug window; also an event of that priority.
    void log(const QDateTime &at, const QString &message, LogPriority priority);
    void notify(const QString &text);
    bool startLook(const LauncherSettings &settings, bool quiet);
    bool startLookNow(const LauncherSettings &settings, int checks);
    // The rider's job, when it has work and the connection is there for it.
    void startRider();
    // False while the rider's job runs and a look should still wait for it.
    bool riderDone();

    NoticeSink &m_notices;
    LogSink &m_log;
    EventLog &m_events;
    ImageKiller &m_killer;
    const Clock &m_clock;
    Worker &m_worker;
    std::shared_ptr<Probe> m_probe;
    // The check handed over and not applied yet.
    std::shared_ptr<Finding> m_inFlight;
    ConnectionRider m_rider;
    bool m_riding = false;
    qint64 m_rideStartedAtMs = 0;
    // A look that fell due while the rider ran: the checks it stands for
    // (0: a probe), with the settings it was asked with.
    bool m_lookWaiting = false;
    int m_checksWaiting = 0;
    LauncherSettings m_waitingSettings;
    // The rider was left its connection: the next look opens a new one
    // without counting it a reconnect (no kill, no line).
    bool m_openQuietly = false;
};

namespace watchdog {

// The time as the system writes times (with seconds, without time zone).
QString timeText(const QDateTime &at);
// The date in the system's short date format.
QString dateText(const QDateTime &at);

} // namespace watchdog
} // namespace kv
