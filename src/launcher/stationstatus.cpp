#include "launcher/stationstatus.h"

#include "station/vbDatabase.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <mutex>

namespace kv {

namespace {

// A literal the server reads the same whatever standard_conforming_strings says.
QString literal(const QString &text)
{
    QString out = text;
    out.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    out.replace(QLatin1Char('\''), QStringLiteral("''"));
    // A NUL cannot be in a text value at all.
    out.remove(QChar(0));
    return QStringLiteral("E'") + out + QLatin1Char('\'');
}

QString literalOrNull(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("NULL") : literal(text);
}

} // namespace

// Where the window thread leaves the statement for the watchdog's worker and
// learns how the last write went.
struct StationStatus::Outbox {
    std::mutex lock;
    QString statement;
    // A write is wanted; seq counts what was readied, writtenSeq what was written.
    bool due = false;
    quint64 seq = 0;
    quint64 writtenSeq = 0;
    int writes = 0;
    QString lastError;
    // What the last write counted of the station's rows for other devices.
    int otherDeviceRows = 0;
    qint64 retryAtMs = 0;
    // A write is out (on the watchdog's worker, or on a thread it was left
    // to): the next one waits for it, so that an older row never lands last.
    bool writing = false;
    // The row said the launcher stopped: nothing more is written.
    bool stopped = false;

    bool wantsWrite(const Clock &clock) const
    {
        return due && !writing && !stopped && !statement.isEmpty() && clock.monotonicMs() >= retryAtMs;
    }
};

// One look at the printer, the printer worker's while it runs.
struct StationStatus::Look {
    std::string printer;
    QStringList reasons;
    QString error;
    // What the loop holds from the look before, and whether this one differs.
    QStringList reasonsBefore;
    QString errorBefore;
    bool changed = false;
};

// How the printer's worker wakes the loop: the status empties it before it
// goes, so a look that ends later posts nothing.
struct StationStatus::Nudge {
    std::mutex lock;
    std::function<void()> post;
};

StationStatus::StationStatus(QString hostName, QString version, QDateTime startedAt, const Clock &clock,
                             DatabaseWatchdog &watchdog, Worker &printerWorker, platform::Spooler &spooler,
                             EventLog &log, std::function<DatabaseHealth()> health)
    : m_host(std::move(hostName)), m_version(std::move(version)), m_startedAt(std::move(startedAt)),
      m_clock(clock), m_watchdog(watchdog), m_printerWorker(printerWorker), m_spooler(spooler), m_log(log),
      m_health(std::move(health)), m_outbox(std::make_shared<Outbox>()), m_nudge(std::make_shared<Nudge>())
{
    m_stopTimer.callOnTimeout([this] { stopStep(); });
    // Posted to the window thread's timer, which takes what is still posted
    // with it when the status goes.
    m_nudge->post = [this] {
        QMetaObject::invokeMethod(
            &m_stopTimer,
            [this] {
                if (m_printerChanged)
                    m_printerChanged();
            },
            Qt::QueuedConnection);
    };
}

StationStatus::~StationStatus()
{
    std::lock_guard guard(m_nudge->lock);
    m_nudge->post = nullptr;
}

ConnectionRider StationStatus::rider() const
{
    ConnectionRider rider;
    rider.boundMs = kWriteDeadlineMs + 2000;
    rider.due = [outbox = m_outbox, &clock = m_clock] {
        std::lock_guard guard(outbox->lock);
        return outbox->wantsWrite(clock);
    };
    rider.take = [outbox = m_outbox, &clock = m_clock]() -> std::function<void(odbc::Connection &)> {
        {
            std::lock_guard guard(outbox->lock);
            if (!outbox->wantsWrite(clock))
                return {};
            outbox->writing = true;
        }
        // The write is out from here until its job has gone, run or not.
        const std::shared_ptr<void> out(nullptr, [outbox](void *) {
            std::lock_guard guard(outbox->lock);
            outbox->writing = false;
        });
        return [outbox, &clock, out](odbc::Connection &connection) {
            QString statement;
            quint64 seq = 0;
            {
                std::lock_guard guard(outbox->lock);
                // The way out began after the write was handed over.
                if (outbox->stopped)
                    return;
                statement = outbox->statement;
                seq = outbox->seq;
            }
            const int lookDeadline = connection.statementDeadlineMs();
            connection.setStatementDeadlineMs(kWriteDeadlineMs);
            try {
                odbc::Recordset written;
                written.open(statement, connection);
                bool counted = false;
                const qint64 others =
                    written.eof() ? 0 : written.field(QStringLiteral("other_device_rows")).toInt64(&counted);
                std::lock_guard guard(outbox->lock);
                ++outbox->writes;
                if (counted)
                    outbox->otherDeviceRows = int(others);
                outbox->writtenSeq = seq;
                if (outbox->seq == seq)
                    outbox->due = false;
                outbox->lastError.clear();
            } catch (const odbc::Error &e) {
                std::lock_guard guard(outbox->lock);
                // Refused for good: tried again in a while. Timed out or cut:
                // still due, written after the next look that finds the server.
                outbox->lastError = e.description().trimmed();
                if (e.sqlState().startsWith(QLatin1String("42"))) {
                    outbox->due = false;
                    outbox->retryAtMs = clock.monotonicMs() + kRefusedRetryMs;
                }
            } catch (...) {
                std::lock_guard guard(outbox->lock);
                outbox->lastError = QStringLiteral("the write failed");
            }
            connection.setStatementDeadlineMs(lookDeadline);
        };
    };
    return rider;
}

void StationStatus::writeStopped(const LauncherSettings &settings, const std::vector<ManagedProgram> &programs,
                                 bool printing, const QString &reason, std::function<void()> then)
{
    {
        std::lock_guard guard(m_outbox->lock);
        // Never written in this run: there is no row of this run to close.
        if (!database::isPlainStationId(settings.stationid) || m_outbox->statement.isEmpty() || m_outbox->stopped)
            return then();
        m_outbox->stopped = true;
    }
    Row row = rowFor(settings, programs, printing, m_health ? m_health() : DatabaseHealth{}, m_clock.monotonicMs());
    row.stopped = reason;
    m_stop = std::make_unique<StopWrite>();
    m_stop->then = std::move(then);
    m_stop->end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopBoundMs);
    m_stop->writesBefore = writes();
    m_stop->job = [outbox = m_outbox, statement = upsertStatement(row)](odbc::Connection &connection) {
        connection.setStatementDeadlineMs(kStopDeadlineMs);
        try {
            odbc::execute(statement, connection);
            std::lock_guard guard(outbox->lock);
            ++outbox->writes;
        } catch (...) {
        }
    };
    m_stopTimer.start(kStopStepMs);
    stopStep();
}

// The window thread looks in on the last write now and then, and goes on
// the way out when it is done, or when its bound has passed (it is then
// left to its worker): a server that is away holds the way out no longer
// than that, and nothing else meanwhile.
void StationStatus::stopStep()
{
    if (!m_stop)
        return;
    bool done = std::chrono::steady_clock::now() >= m_stop->end;
    if (!done && !m_stop->started) {
        // A write left to a thread of its own by a look that would not wait
        // for it lands first; the watchdog keeps its own worker's order.
        std::unique_lock guard(m_outbox->lock);
        const bool writing = m_outbox->writing;
        guard.unlock();
        if (!writing) {
            const auto last = m_watchdog.startLast(m_stop->job);
            m_stop->started = last == DatabaseWatchdog::Last::Started;
            done = last == DatabaseWatchdog::Last::NotRun;
        }
    } else if (!done) {
        done = !m_watchdog.lastRunning();
    }
    if (!done)
        return;
    m_stopTimer.stop();
    const std::unique_ptr<StopWrite> stop = std::move(m_stop);
    if (writes() == stop->writesBefore)
        m_log.warning(QStringLiteral("station status not written on the way out (the office sees the till down)"));
    stop->then();
}

int StationStatus::writes() const
{
    std::lock_guard guard(m_outbox->lock);
    return m_outbox->writes;
}

void StationStatus::checkDue()
{
    if (++m_checks % kChecksPerHeartbeat != 0)
        return;
    std::lock_guard guard(m_outbox->lock);
    if (m_outbox->statement.isEmpty())
        return;
    m_outbox->due = true;
    ++m_outbox->seq;
}

QString StationStatus::upsertStatement(const Row &row)
{
    QStringList reasons;
    for (const QString &r : row.printerReasons)
        reasons << literal(r);
    const QString station = row.station;
    // One statement: the receipts still queued for this station, and the
    // rows for devices no launcher reads, are counted by the server in the
    // same breath, so the row never needs a second trip; the latter come
    // back for the till's own log.
    return QStringLiteral("INSERT INTO launcherstatus AS s (stationid, host, version, started_at, heartbeat, "
                          "database_ok, outages, printer, printer_reasons, printer_error, receipts_waiting, "
                          "oldest_receipt_at, programs, stopped, other_device_rows) SELECT ") +
           station + QStringLiteral(", ") + literal(row.host) + QStringLiteral(", ") + literal(row.version) +
           QStringLiteral(", ") +
           (row.startedAt.isValid()
                ? literal(row.startedAt.toUTC().toString(Qt::ISODateWithMs)) + QStringLiteral("::timestamptz")
                : QStringLiteral("NULL")) +
           QStringLiteral(", now(), ") + (row.health.up ? QStringLiteral("true") : QStringLiteral("false")) +
           QStringLiteral(", ") + QString::number(row.health.outages) + QStringLiteral(", ") +
           literalOrNull(row.printer) + QStringLiteral(", ARRAY[") + reasons.join(QStringLiteral(", ")) +
           QStringLiteral("]::text[], ") + literalOrNull(row.printerError) +
           QStringLiteral(", count(*) FILTER (WHERE q.device = 1), min(q.queued_at) FILTER (WHERE q.device = 1), ") +
           literal(row.programsJson) + QStringLiteral("::jsonb, ") + literalOrNull(row.stopped) +
           QStringLiteral(", count(*) FILTER (WHERE coalesce(q.device, 0) NOT IN (1, 2))"
                          " FROM poscommands q WHERE q.stationid = ") +
           station +
           QStringLiteral(" ON CONFLICT (stationid) DO UPDATE SET host = EXCLUDED.host, "
                          "version = EXCLUDED.version, started_at = EXCLUDED.started_at, heartbeat = "
                          "EXCLUDED.heartbeat, database_ok = EXCLUDED.database_ok, outages = EXCLUDED.outages, "
                          "printer = EXCLUDED.printer, printer_reasons = EXCLUDED.printer_reasons, printer_error = "
                          "EXCLUDED.printer_error, receipts_waiting = EXCLUDED.receipts_waiting, "
                          "oldest_receipt_at = EXCLUDED.oldest_receipt_at, programs = EXCLUDED.programs, stopped = "
                          "EXCLUDED.stopped, other_device_rows = EXCLUDED.other_device_rows "
                          "RETURNING s.other_device_rows");
}

QString StationStatus::programsJson(const std::vector<ManagedProgram> &programs, qint64 nowMs) const
{
    QJsonArray out;
    for (std::size_t i = 0; i < programs.size(); ++i) {
        const ManagedProgram &p = programs[i];
        QJsonObject o;
        o.insert(QStringLiteral("name"), p.name);
        o.insert(QStringLiteral("executable"), p.executable);
        o.insert(QStringLiteral("running"), p.process && p.process->pReady);
        o.insert(QStringLiteral("runonstart"), p.runOnStart);
        o.insert(QStringLiteral("restarts"), p.restartOnFailure);
        o.insert(QStringLiteral("awaiting_restart"), p.awaitingRestart);
        o.insert(QStringLiteral("failures"), int(p.failureCount));
        const bool ended = i < m_lastEnds.size() && !m_lastEnds[i].isEmpty();
        o.insert(QStringLiteral("ended"), ended ? QJsonValue(m_lastEnds[i]) : QJsonValue());
        o.insert(QStringLiteral("ended_s_ago"),
                 ended ? QJsonValue(double((nowMs - m_endedAtMs[i]) / 100) / 10.0) : QJsonValue());
        out.append(o);
    }
    return QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Compact));
}

StationStatus::Row StationStatus::rowFor(const LauncherSettings &settings, const std::vector<ManagedProgram> &programs,
                                         bool printing, const DatabaseHealth &health, qint64 nowMs) const
{
    Row row;
    row.station = settings.stationid;
    row.host = m_host;
    row.version = m_version;
    row.startedAt = m_startedAt;
    row.health = health;
    row.printer = printing ? settings.esc_printer : QString();
    row.printerReasons = m_reasons;
    row.printerError = m_printerError;
    row.programsJson = programsJson(programs, nowMs);
    return row;
}

bool StationStatus::printerChangeWaiting() const
{
    return m_look && !m_printerWorker.busy() && m_look->changed;
}

void StationStatus::takePrinterLook()
{
    if (!m_look || m_printerWorker.busy())
        return;
    const std::shared_ptr<Look> look = std::move(m_look);
    m_look.reset();
    m_reasons = look->reasons;
    m_printerError = look->error;
}

void StationStatus::logOutcome()
{
    QString error;
    int writes = 0;
    int others = 0;
    {
        std::lock_guard guard(m_outbox->lock);
        error = m_outbox->lastError;
        writes = m_outbox->writes;
        others = m_outbox->otherDeviceRows;
    }
    // Rows nobody reads stay for ever: said when their number changes, and
    // once more when they are gone.
    if (others != m_toldOtherDevices) {
        if (others > 0)
            m_log.warning(QStringLiteral("POS: %1 rows of this station's queue are for devices the launcher does not "
                                         "handle (1 receipt printer, 2 cash drawer): they stay queued, unread")
                              .arg(others));
        else
            m_log.notice(QStringLiteral("POS: no rows of this station's queue are for other devices any more"));
        m_toldOtherDevices = others;
    }
    // Told once per outage of the writes: the heartbeat going stale is
    // what the office sees.
    if (!error.isEmpty() && error != m_toldFailure)
        m_log.warning(QStringLiteral("station status not written: %1").arg(error));
    else if (error.isEmpty() && !m_toldFailure.isEmpty() && writes > m_toldWrites)
        m_log.notice(QStringLiteral("station status written again"));
    if (error.isEmpty() && writes == m_toldWrites)
        return;
    m_toldFailure = error;
    m_toldWrites = writes;
}

void StationStatus::afterSupervision(const LauncherSettings &settings, const std::vector<ManagedProgram> &programs,
                                     bool printing, bool checkComesNext)
{
    logOutcome();
    const QStringList reasonsBefore = m_reasons;
    const QString errorBefore = m_printerError;
    takePrinterLook();
    if (!printing) {
        m_reasons.clear();
        m_printerError.clear();
    }
    bool changed = m_reasons != reasonsBefore || m_printerError != errorBefore;

    const qint64 now = m_clock.monotonicMs();
    // An end is caught in the pass that saw it, before a later pass restarts
    // the program and its runner forgets how it ended; a program that ended
    // before it was ever seen running shows it by its failure count.
    m_lastEnds.resize(programs.size());
    m_endedAtMs.resize(programs.size(), 0);
    m_wasRunning.resize(programs.size(), false);
    m_failures.resize(programs.size(), 0);
    // Compared field by field: an idle till's tick builds no text.
    bool programsChanged = m_programStates.size() != programs.size();
    m_programStates.resize(programs.size());
    for (std::size_t i = 0; i < programs.size(); ++i) {
        const ManagedProgram &p = programs[i];
        const bool running = p.process && p.process->pReady;
        const bool failedAgain = p.failureCount != m_failures[i];
        if (!running && (m_wasRunning[i] || failedAgain)) {
            const QString how = p.process ? p.process->endDescription() : QString();
            const QString startError = p.process ? p.process->startError() : QString();
            m_lastEnds[i] = !startError.isEmpty() ? QStringLiteral("could not start: ") + startError
                            : !how.isEmpty()      ? how
                                                  : QStringLiteral("ended");
            m_endedAtMs[i] = failedAgain && p.failedAtMonotonicMs != 0 ? p.failedAtMonotonicMs : now;
        }
        m_wasRunning[i] = running;
        m_failures[i] = p.failureCount;
        ProgramState &seen = m_programStates[i];
        if (seen.running != running || seen.awaitingRestart != p.awaitingRestart || seen.failures != p.failureCount
            || seen.name != p.name) {
            seen = ProgramState{running, p.awaitingRestart, p.failureCount, p.name};
            programsChanged = true;
        }
    }
    changed = changed || programsChanged;

    const DatabaseHealth health = m_health ? m_health() : DatabaseHealth{};
    const QString builtFor = settings.stationid + QLatin1Char('/') + (printing ? settings.esc_printer : QString());
    bool unmade = false;
    {
        std::lock_guard guard(m_outbox->lock);
        unmade = m_outbox->statement.isEmpty();
    }
    // The heartbeat is the server's clock: an unchanged row's statement
    // stays the same from check to check, unless it tells how long ago a
    // program ended.
    const bool agesShown =
        std::any_of(m_lastEnds.begin(), m_lastEnds.end(), [](const QString &end) { return !end.isEmpty(); });
    const bool heartbeatNext = checkComesNext && (m_checks + 1) % kChecksPerHeartbeat == 0;
    const bool remake = changed || (heartbeatNext && agesShown) || unmade || builtFor != m_builtFor
                        || health.up != m_builtHealth.up || health.outages != m_builtHealth.outages;
    if (remake && database::isPlainStationId(settings.stationid)) {
        m_builtHealth = health;
        m_builtFor = builtFor;
        const QString statement = upsertStatement(rowFor(settings, programs, printing, health, now));
        std::lock_guard guard(m_outbox->lock);
        // The first statement is written at once; while writes fail, the
        // looks (after a write that timed out) or the heartbeat (after one
        // refused) try again.
        changed = changed || m_outbox->statement.isEmpty();
        m_outbox->statement = statement;
        if (changed && m_outbox->lastError.isEmpty()) {
            m_outbox->due = true;
            ++m_outbox->seq;
        }
    }
    bool askForLook = false;
    {
        std::lock_guard guard(m_outbox->lock);
        askForLook = m_outbox->wantsWrite(m_clock) && m_outbox->lastError.isEmpty();
    }
    // Refused while a look runs (its write may carry this) or while the
    // connection is down; asked again at the next pass, changed or not.
    if (askForLook && database::isPlainStationId(settings.stationid))
        m_watchdog.probeDatabaseConnection(settings);

    if (printing && !m_look && now + kPrinterLookEarlyMs >= m_printerLookAtMs) {
        m_printerLookAtMs = now + kPrinterLookIntervalMs;
        auto look = std::make_shared<Look>();
        look->printer = settings.esc_printer.toStdString();
        look->reasonsBefore = m_reasons;
        look->errorBefore = m_printerError;
        if (m_printerWorker.start([look, nudge = m_nudge, &spooler = m_spooler] {
                if (const auto reasons = spooler.printerReasons(look->printer)) {
                    for (const std::string &r : *reasons)
                        look->reasons << QString::fromStdString(r);
                } else {
                    look->error = QString::fromStdString(spooler.lastError());
                }
                look->changed = look->reasons != look->reasonsBefore || look->error != look->errorBefore;
                std::lock_guard guard(nudge->lock);
                if (look->changed && nudge->post)
                    nudge->post();
            }))
            m_look = look;
    }
}

} // namespace kv
