#include "escpos/receiptledger.h"

namespace kv {

namespace {

bool isDigits(const QString &s)
{
    if (s.isEmpty())
        return false;
    for (const QChar c : s) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

// The library's connection has standard strings: a quote is doubled, and
// nothing else is special.
QString quoted(QString s) { return QLatin1Char('\'') + s.replace(QLatin1Char('\''), QStringLiteral("''")) + QLatin1Char('\''); }

} // namespace

ReceiptLedger::ReceiptLedger(DraldbClient &draldb, const qint32 &libraryConnection, platform::Spooler &spooler)
    : m_draldb(draldb), m_libraryConnection(libraryConnection), m_spooler(spooler)
{
}

QString ReceiptLedger::markOf(const LedgerJob &job)
{
    return QString::number(job.id) + QLatin1Char(' ') + job.printer + QLatin1Char(' ') + job.name;
}

std::optional<LedgerJob> ReceiptLedger::jobOfMark(const QString &mark)
{
    const qsizetype first = mark.indexOf(QLatin1Char(' '));
    const qsizetype second = first < 0 ? -1 : mark.indexOf(QLatin1Char(' '), first + 1);
    if (second < 0)
        return std::nullopt;
    const QString number = mark.left(first);
    LedgerJob job{mark.mid(second + 1), mark.mid(first + 1, second - first - 1), 0, {}};
    bool ok = false;
    job.id = number.toInt(&ok);
    if (!ok || !isDigits(number) || job.id <= 0 || job.printer.isEmpty() || job.name.isEmpty())
        return std::nullopt;
    return job;
}

bool ReceiptLedger::run(const QString &sql, QString &error)
{
    qint32 resultSet = 0;
    error = m_draldb.VB_new_sql(m_libraryConnection, sql, resultSet, 0);
    if (resultSet != 0)
        m_draldb.VB_free(resultSet);
    return error.isEmpty();
}

LedgerState ReceiptLedger::handOver(EscposChannel &channel, const QString &stationId, LedgerJob &job, QString &error)
{
    // Built: the server holds all of it, and nothing of it prints yet.
    if (!channel.escposFinishHeld()) {
        abandon(channel.lastJob());
        error = QStringLiteral("the print server did not take the job: %1")
                    .arg(QString::fromStdString(m_spooler.lastError()));
        return LedgerState::Built;
    }
    job.id = channel.currentJob().id;
    QStringList ids;
    for (const QString &id : std::as_const(job.rows)) {
        if (isDigits(id))
            ids << id;
    }
    // Every row makes bytes, so every job has a number; without one it
    // could not be found again, and is not let go.
    if (job.id <= 0 || ids.isEmpty()) {
        channel.escposAbandon();
        abandon(channel.lastJob());
        error = QStringLiteral("the print server gave the job no number");
        return LedgerState::Built;
    }
    // Recorded: from here, whatever becomes of the till, the rows name the
    // job, and nothing prints them again before the server was asked.
    if (!run(QStringLiteral("UPDATE poscommands SET printjob = %1 WHERE stationid = %2 AND id IN (%3)")
                 .arg(quoted(markOf(job)), stationId, ids.join(QLatin1Char(','))),
             error)) {
        channel.escposAbandon();
        abandon(channel.lastJob());
        // A site's database from before the column: the one thing to do.
        const QString hint = error.contains(QLatin1String("printjob"))
                                 ? QStringLiteral(" (the site's database lacks poscommands.printjob: run "
                                                  "/usr/share/korvantis-launcher/database.sql on it)")
                                 : QString();
        error = QStringLiteral("the job could not be recorded with its rows, so it was not printed: %1%2")
                    .arg(error, hint);
        return LedgerState::Built;
    }
    // HandedOver. An unanswered release leaves the job recorded: the next
    // look finds it held (and cancels it) or let go.
    m_out.append(job);
    if (!channel.escposRelease()) {
        error = QStringLiteral("the print server did not answer the release of the job \"%1\": %2")
                    .arg(job.name, QString::fromStdString(m_spooler.lastError()));
        return LedgerState::Recorded;
    }
    return LedgerState::HandedOver;
}

void ReceiptLedger::abandon(const platform::JobRef &job)
{
    if (job.name.empty())
        return;
    // What the server kept of it is cancelled now; asked again later, as its
    // creation may yet come.
    m_spooler.followJob(job);
    m_abandoned.append(Abandoned{job});
}

void ReceiptLedger::sweepAbandoned()
{
    for (auto it = m_abandoned.begin(); it != m_abandoned.end();) {
        const platform::JobStage stage = m_spooler.followJob(it->ref);
        if (stage == platform::JobStage::Unknown)
            return; // no answer: the next look asks again
        const bool settled = stage == platform::JobStage::Cancelled || stage == platform::JobStage::Printed;
        it = settled || --it->looksLeft <= 0 ? m_abandoned.erase(it) : std::next(it);
    }
}

LedgerState ReceiptLedger::follow(const LedgerJob &job)
{
    switch (m_spooler.followJob(platform::JobRef{job.printer.toStdString(), job.name.toStdString(), job.id})) {
    case platform::JobStage::Printed: return LedgerState::Printed;
    case platform::JobStage::Waiting: return LedgerState::HandedOver;
    case platform::JobStage::Gone: return LedgerState::Lost;
    case platform::JobStage::Cancelled: return LedgerState::Cancelled;
    case platform::JobStage::Unknown: break;
    }
    return LedgerState::Unanswered;
}

bool ReceiptLedger::complete(const QString &stationId, const LedgerJob &job, QString &error)
{
    if (!run(QStringLiteral("DELETE FROM poscommands WHERE stationid = %1 AND printjob = %2")
                 .arg(stationId, quoted(markOf(job))),
             error)) {
        error = QStringLiteral("the rows of the printed job \"%1\" could not be deleted: %2").arg(job.name, error);
        return false;
    }
    unwatch(job);
    return true;
}

void ReceiptLedger::unwatch(const LedgerJob &job)
{
    m_out.removeIf([&](const LedgerJob &out) { return out.name == job.name && out.id == job.id; });
}

void ReceiptLedger::watch(const LedgerJob &job)
{
    for (const LedgerJob &out : std::as_const(m_out)) {
        if (out.name == job.name && out.id == job.id)
            return;
    }
    m_out.append(job);
}

LedgerFollow ReceiptLedger::followOut(const QString &stationId)
{
    sweepAbandoned();
    LedgerFollow found;
    const QList<LedgerJob> out = m_out;
    for (const LedgerJob &job : out) {
        const LedgerState state = follow(job);
        if (state == LedgerState::Unanswered) {
            found.failure = QStringLiteral("the print server did not say what became of the job \"%1\": %2")
                                .arg(job.name, QString::fromStdString(m_spooler.lastError()));
            break;
        }
        if (state == LedgerState::Printed) {
            QString error;
            if (complete(stationId, job, error))
                found.rowsDeleted += int(job.rows.size());
            else
                found.failure = error;
        } else if (state != LedgerState::HandedOver) {
            // Its pass sends it again.
            unwatch(job);
            found.passDue = true;
        }
    }
    found.jobsOut = jobsOut();
    return found;
}

} // namespace kv
