// The database watchdog: a connection of its own that is tested now and
// then, reconnected when it fails, and notices for the cashier when an
// outage begins and when it ends. One log line per check.
#pragma once

#include "config/odbc.h"
#include "config/vbWatchdogApi.h"
#include "core/clock.h"
#include "core/noticesink.h"

#include <QDateTime>
#include <QString>

namespace kv {

class Watchdog final : public DatabaseWatchdog {
public:
    // How long "SELECT 1" may wait for the server. A check holds up the till
    // at most this long when it tests the connection, and at most the login
    // timeout plus this when it reconnects (the driver's own statements after
    // the login share the deadline); never both in one call.
    static constexpr int kTestDeadlineMs = 3000;

    Watchdog(NoticeSink &notices, LogSink &log, ImageKiller &killer, const Clock &clock);

    qint32 testDatabaseConnection(const LauncherSettings &settings) override;
    void setDbConnectionUp(bool up) override { dbConnectionUp = up; }

    // Used by nothing else; replaced by a new one on every reconnect.
    odbc::Connection watchdogConnection;
    bool dbConnectionUp = false;
    // Outages since the launcher started; never reset.
    qint16 outageCount = 0;

private:
    void log(const QString &message);
    void notify(const QString &text);

    NoticeSink &m_notices;
    LogSink &m_log;
    ImageKiller &m_killer;
    const Clock &m_clock;
};

namespace watchdog {

// The time as the system writes times (with seconds, without time zone).
QString timeText(const QDateTime &at);
// The date in the system's short date format.
QString dateText(const QDateTime &at);

} // namespace watchdog
} // namespace kv
