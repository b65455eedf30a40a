#include "config/vbWatchdog.h"

#include "station/keptconnection.h"
#include "station/vbDatabase.h"

#include <QLocale>

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <utility>

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
    // Worked out once: a line every eleven seconds for months.
    static const QLocale locale = QLocale::system();
    static const QString format = withoutTimeZone(locale.timeFormat(QLocale::LongFormat));
    return locale.toString(at.time(), format);
}

QString dateText(const QDateTime &at)
{
    return QLocale::system().toString(at.date(), QLocale::ShortFormat);
}

} // namespace watchdog

namespace {

// The connection text names no port: psqlODBC leaves it to libpq, which
// takes PGPORT from the environment, and 5432 without it.
QString portInUse()
{
    const QString port = qEnvironmentVariable("PGPORT").trimmed();
    return port.isEmpty() ? QStringLiteral("5432") : port;
}

// A look waits for its deadline; the server's timeout is the one every
// statement on the connection shares.
void limitLooks(odbc::Connection &connection)
{
    connection.setStatementDeadlineMs(Watchdog::kTestDeadlineMs);
    connection.setServerTimeoutMs(ConnectionRider::kServerTimeoutMs);
}

} // namespace

Watchdog::Watchdog(NoticeSink &notices, LogSink &log, EventLog &events, ImageKiller &killer, const Clock &clock,
                   Worker &worker)
    : m_notices(notices), m_log(log), m_events(events), m_killer(killer), m_clock(clock), m_worker(worker),
      m_probe(std::make_shared<Probe>())
{
    limitLooks(m_probe->watchdogConnection);
}

bool Watchdog::testDatabaseConnection(const LauncherSettings &settings)
{
    return startLook(settings, false);
}

bool Watchdog::probeDatabaseConnection(const LauncherSettings &settings)
{
    return startLook(settings, true);
}

bool Watchdog::startLook(const LauncherSettings &settings, bool quiet)
{
    if (m_inFlight) {
        // The look still out stands for this check, and writes its line when
        // it is applied, whatever it finds: one line per check, also while a
        // server freezes just before a check is due.
        if (!quiet) {
            ++m_inFlight->checks;
            if (m_inFlight->reconnect)
                log(m_clock.now(), QStringLiteral(" Attempting database reconnect"), LogPriority::Debug);
        }
        return false;
    }
    if (!riderDone()) {
        // The rider has the connection: the look follows it, started by the
        // first tick that finds it ended, and owes each check its line.
        if (!quiet)
            ++m_checksWaiting;
        m_lookWaiting = true;
        m_waitingSettings = settings;
        return false;
    }
    return startLookNow(settings, quiet ? 0 : 1);
}

bool Watchdog::lookPending() const
{
    if (m_lookWaiting)
        return true;
    if (!m_inFlight)
        return false;
    // An idle till's looks and checks answer in milliseconds and change
    // nothing: the loop sleeps on to the next look, whose tick takes this
    // one's verdict (and writes a check's line). A failure that came at once
    // is told by then, well inside the outage notice's twelve seconds; one
    // that hangs is a look grown old, and the loop ticks for it as for every
    // other. A reconnect or a look during an outage may end it, and a status
    // write waits for a look's verdict: those are taken at the next tick.
    const Finding &look = *m_inFlight;
    if (look.reconnect || !dbConnectionUp || (m_rider.due && m_rider.due()))
        return true;
    return m_clock.monotonicMs() - look.startedAtMs >= kQuietLookMs;
}

bool Watchdog::riderDone()
{
    if (!m_riding)
        return true;
    if (!m_worker.busy()) {
        m_riding = false;
        return true;
    }
    // A look waits for the rider rather than open a second connection: on a
    // server that answers slowly a new login could well take longer than
    // the rest of the write. The rider's own deadline ends it; only should
    // that not hold is it left to finish on its thread with the old
    // connection, and the look goes on with a new one.
    if (m_clock.monotonicMs() - m_rideStartedAtMs < m_rider.boundMs)
        return false;
    m_worker.abandon();
    m_probe = std::make_shared<Probe>();
    limitLooks(m_probe->watchdogConnection);
    m_openQuietly = true;
    m_riding = false;
    return true;
}

void Watchdog::startRider()
{
    if (!m_rider.take || m_riding || m_worker.busy() || !m_probe->watchdogConnection.isOpen())
        return;
    std::function<void(odbc::Connection &)> job = m_rider.take();
    if (!job)
        return;
    if (m_worker.start([probe = m_probe, job = std::move(job)] { job(probe->watchdogConnection); })) {
        m_riding = true;
        m_rideStartedAtMs = m_clock.monotonicMs();
    }
}

DatabaseWatchdog::Last Watchdog::startLast(const std::function<void(odbc::Connection &)> &work)
{
    // After the look or the rider that has the connection now.
    if (m_worker.busy())
        return Last::Busy;
    m_riding = false;
    if (!dbConnectionUp || !m_probe->watchdogConnection.isOpen())
        return Last::NotRun;
    return m_worker.start([probe = m_probe, work] { work(probe->watchdogConnection); }) ? Last::Started : Last::NotRun;
}

bool Watchdog::startLookNow(const LauncherSettings &settings, int checks)
{
    if (m_worker.busy())
        return false;
    auto finding = std::make_shared<Finding>();
    // The worker is idle, so the connection is the window thread's to look at.
    finding->reconnect = !(dbConnectionUp && (m_probe->watchdogConnection.isOpen() || m_openQuietly));
    if (checks == 0 && finding->reconnect)
        return false;
    m_openQuietly = false;
    finding->checks = checks;
    finding->startedAtMs = m_clock.monotonicMs();
    finding->host = settings.db_host;
    // The local time rereads the zone's file: an idle till looks every few
    // seconds for months, so it is taken only for a line.
    if (finding->reconnect)
        log(m_clock.now(), QStringLiteral(" Attempting database reconnect"), LogPriority::Debug);
    // The settings as they are now, also for opening again after a lost
    // link: the settings dialog may have named another server since. The
    // text is made only for an opening, not for every look.
    const std::array<QString, 4> login{settings.db_host, settings.db_name, settings.db_username, settings.db_password};
    // Work due now follows a look on the open connection without waiting
    // for the verdict's tick; dropped unrun when the look fails.
    std::function<void(odbc::Connection &)> ride;
    if (!finding->reconnect && m_probe->watchdogConnection.isOpen() && m_rider.take)
        ride = m_rider.take();
    finding->rides = bool(ride);
    const bool started = m_worker.start([probe = m_probe, finding, login, ride = std::move(ride)] {
        try {
            odbc::Connection &connection = probe->watchdogConnection;
            const auto openAnew = [&] {
                connection = odbc::Connection();
                limitLooks(connection);
                connection.open(database::buildConnectionText(login[0], login[1], login[2], login[3]));
            };
            if (finding->reconnect || !connection.isOpen()) {
                openAnew();
            } else {
                try {
                    odbc::execute(QStringLiteral("SELECT 1"), connection);
                } catch (const odbc::Error &e) {
                    // The link went after the last answer: cut by a deadline
                    // just as that answer came, or the session ended between
                    // two looks. The server may be there all the same: only
                    // a fresh connection that fails too is an outage.
                    if (!odbc::KeptConnection::isLostLink(e))
                        throw;
                    openAnew();
                    odbc::execute(QStringLiteral("SELECT 1"), connection);
                }
            }
            finding->ok = true;
        } catch (const odbc::Error &e) {
            finding->ok = false;
            finding->error = e.description();
        } catch (const std::exception &e) {
            finding->ok = false;
            finding->error = QString::fromLocal8Bit(e.what());
        } catch (...) {
            finding->ok = false;
        }
        const bool ok = finding->ok;
        finding->settled.store(true, std::memory_order_release);
        if (ok && ride)
            ride(probe->watchdogConnection);
    });
    if (!started) {
        // No thread to be had: the check failed as a failed query would.
        finding->ok = false;
        finding->rides = false;
        finding->settled.store(true, std::memory_order_release);
    }
    m_inFlight = finding;
    return true;
}

qint32 Watchdog::applyDatabaseTest()
{
    if (!m_inFlight) {
        if (m_lookWaiting && riderDone()) {
            m_lookWaiting = false;
            startLookNow(m_waitingSettings, std::exchange(m_checksWaiting, 0));
        }
        return -1;
    }
    bool overran = false;
    if (!m_inFlight->settled.load(std::memory_order_acquire)) {
        // The driver's own limits rest on finding its socket among those of
        // the other threads; should they not hold, this one does.
        const qint64 bound = m_inFlight->reconnect ? kReconnectBoundMs : kTestBoundMs;
        if (m_clock.monotonicMs() - m_inFlight->startedAtMs < bound)
            return -1;
        m_worker.abandon();
        // The given-up thread keeps the old connection to itself.
        m_probe = std::make_shared<Probe>();
        limitLooks(m_probe->watchdogConnection);
        overran = true;
    }
    const std::shared_ptr<Finding> finding = std::move(m_inFlight);
    m_inFlight.reset();
    const bool ok = !overran && finding->ok;
    // The work the look took goes on: the next look waits for it, as for
    // work started here.
    if (ok && finding->rides && m_worker.busy()) {
        m_riding = true;
        m_rideStartedAtMs = m_clock.monotonicMs();
    }
    try {
        if (ok && !finding->reconnect) {
            for (int i = 0; i < finding->checks; ++i)
                log(m_clock.now(), QStringLiteral(" Database test success"), LogPriority::Debug);
            startRider();
            return 0;
        }
        if (ok) {
            const bool wasDown = !dbConnectionUp;
            dbConnectionUp = true;
            m_killer.killImage(QStringLiteral("blipnote.exe"));
            if (outageCount > 0)
                notify(QStringLiteral("Korvantis database connection recovered."));
            if (wasDown && outageCount > 0)
                m_events.notice(QStringLiteral("database connection back (outage %1 ended)").arg(outageCount));
            startRider();
            return 0;
        }
    } catch (...) {
    }
    try {
        const bool outageBegins = dbConnectionUp;
        const LogPriority priority = outageBegins ? LogPriority::Warning : LogPriority::Debug;
        for (int i = 0; i < std::max(finding->checks, 1); ++i)
            log(m_clock.now(), QStringLiteral(" Database test connection failure"), i == 0 ? priority : LogPriority::Debug);
        // Beside that line, for whoever looks into the outage: which server
        // was asked and what the driver said, on one line.
        // A given-up look's finding is still its thread's: not read here.
        QString why;
        if (overran)
            why = QStringLiteral("no answer within %1 s (the check overran its time)")
                      .arg((finding->reconnect ? kReconnectBoundMs : kTestBoundMs) / 1000.0);
        else if ((why = finding->error.simplified()).isEmpty())
            why = finding->ok ? QStringLiteral("the reconnect's follow-up failed")
                              : QStringLiteral("no reason given by the driver");
        m_events.log(priority,
                     QStringLiteral("database server \"%1\", port %2: %3").arg(finding->host, portInUse(), why));
        if (outageBegins) {
            dbConnectionUp = false;
            if (outageCount < std::numeric_limits<qint16>::max())
                ++outageCount;
            m_events.warning(QStringLiteral("database connection lost (outage %1 since the launcher started)%2")
                                 .arg(outageCount)
                                 .arg(overran ? QStringLiteral(": the check overran its time") : QString()));
            notify(QStringLiteral("Database connection to Korvantis server lost.  Please check your network "
                                  "connection"));
        }
    } catch (...) {
        // A window that cannot be made is no reason to stop the till.
    }
    return 1;
}

void Watchdog::log(const QDateTime &at, const QString &message, LogPriority priority)
{
    m_log.logLine(watchdog::timeText(at) + message);
    m_events.log(priority, message.trimmed());
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
