#include "config/vbWatchdog.h"

#include "config/vbDatabase.h"

#include <QLocale>

#include <limits>

namespace kv {

namespace watchdog {

namespace {

// Qt's long time format ends in the time zone ("HH:mm:ss t"); the clock of a
// till is read without one.
QString withoutTimeZone(const QString &format)
{
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        else if (!quoted && c == QLatin1Char('t'))
            continue;
        out += c;
    }
    return out.trimmed();
}

} // namespace

QString timeText(const QDateTime &at)
{
    const QLocale locale = QLocale::system();
    return locale.toString(at.time(), withoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
}

QString dateText(const QDateTime &at)
{
    return QLocale::system().toString(at.date(), QLocale::ShortFormat);
}

} // namespace watchdog

Watchdog::Watchdog(NoticeSink &notices, LogSink &log, ImageKiller &killer, const Clock &clock)
    : m_notices(notices), m_log(log), m_killer(killer), m_clock(clock)
{
    watchdogConnection.setStatementDeadlineMs(kTestDeadlineMs);
}

qint32 Watchdog::testDatabaseConnection(const LauncherSettings &settings)
{
    try {
        if (dbConnectionUp && watchdogConnection.isOpen()) {
            odbc::Recordset rs;
            rs.open(QStringLiteral("SELECT 1"), watchdogConnection);
            rs.close();
            log(QStringLiteral(" Database test success"));
            return 0;
        }
        log(QStringLiteral(" Attempting database reconnect"));
        watchdogConnection = odbc::Connection();
        watchdogConnection.setStatementDeadlineMs(kTestDeadlineMs);
        watchdogConnection.open(database::buildConnectionText(settings));
        dbConnectionUp = true;
        m_killer.killImage(QStringLiteral("blipnote.exe"));
        if (outageCount > 0)
            notify(QStringLiteral("Korvantis database connection recovered."));
        return 0;
    } catch (...) {
    }
    try {
        log(QStringLiteral(" Database test connection failure"));
        if (dbConnectionUp) {
            dbConnectionUp = false;
            if (outageCount < std::numeric_limits<qint16>::max())
                ++outageCount;
            notify(QStringLiteral("Database connection to Korvantis server lost.  Please check your network "
                                  "connection"));
        }
    } catch (...) {
        // A window that cannot be made is no reason to stop the till.
    }
    return 1;
}

void Watchdog::log(const QString &message)
{
    m_log.logLine(watchdog::timeText(m_clock.now()) + message);
}

void Watchdog::notify(const QString &text)
{
    const QDateTime now = m_clock.now();
    Notice n;
    n.caption = QStringLiteral("Korvantis network activity as of ") + watchdog::timeText(now) + QLatin1Char(' ') +
                watchdog::dateText(now);
    n.noticeText = text;
    n.notice2 = QStringLiteral("This has happened ") + QString::number(outageCount) +
                QStringLiteral(" time(s) since last restart");
    m_notices.showNotice(n);
}

} // namespace kv
