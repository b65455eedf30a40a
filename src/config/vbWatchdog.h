// The database watchdog: a connection of its own that is tested now and
// then, reconnected when it fails, and notices for the cashier when an
// outage begins and when it ends. One log line per check.
#pragma once

#include "config/odbc.h"
#include "config/vbWatchdogApi.h"
#include "core/clock.h"
#include "core/eventlog.h"
#include "core/noticesink.h"
#include "core/worker.h"

#include <QDateTime>
#include <QString>

#include <memory>

namespace kv {

class Watchdog final : public DatabaseWatchdog {
public:
    // How long "SELECT 1" may wait for the server. A check is due every
    // eleventh tick and its finding is applied at the tick after it was
    // handed over, so a server that stops answering is told to the cashier
    // within twelve ticks. A reconnect waits at most the login timeout plus
    // this (the driver's own statements after the login share the deadline);
    // both run on the worker, never on the window thread.
    static constexpr int kTestDeadlineMs = 800;

    // `worker` runs the connection attempts and test queries; the watchdog
    // is the only one to use it. A check that overruns these bounds (the
    // driver's own limits failed it) counts as failed, and its worker is
    // given up.
    static constexpr int kTestBoundMs = kTestDeadlineMs;
    static constexpr int kReconnectBoundMs = odbc::kLoginTimeoutSeconds * 1000 + kTestDeadlineMs;
    // `log` is the debug window's; `events` the log an admin reads.
    Watchdog(NoticeSink &notices, LogSink &log, EventLog &events, ImageKiller &killer, const Clock &clock,
             Worker &worker);

    bool testDatabaseConnection(const LauncherSettings &settings) override;
    qint32 applyDatabaseTest() override;
    void setDbConnectionUp(bool up) override { dbConnectionUp = up; }

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
        bool ok = false;
        QDateTime startedAt;
        qint64 startedAtMs = 0;
    };

    // One line of the debug window; also an event of that priority.
    void log(const QDateTime &at, const QString &message, LogPriority priority);
    void notify(const QString &text);

    NoticeSink &m_notices;
    LogSink &m_log;
    EventLog &m_events;
    ImageKiller &m_killer;
    const Clock &m_clock;
    Worker &m_worker;
    std::shared_ptr<Probe> m_probe;
    // The check handed over and not applied yet.
    std::shared_ptr<Finding> m_inFlight;
};

namespace watchdog {

// The time as the system writes times (with seconds, without time zone).
QString timeText(const QDateTime &at);
// The date in the system's short date format.
QString dateText(const QDateTime &at);

} // namespace watchdog
} // namespace kv
