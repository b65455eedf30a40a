#include "escpos/vbPosCommands.h"

#include "config/vbDatabase.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <utility>

namespace kv {

PosCommandQueue::PosCommandQueue(DraldbClient &draldb, const qint32 &libraryConnection, platform::Spooler &spooler,
                                 PrintJournal &journal)
    : m_draldb(draldb), m_libraryConnection(libraryConnection), m_spooler(spooler), m_channel(spooler),
      m_journal(journal), m_runToken(QString::number(QRandomGenerator::system()->generate(), 16))
{
}

PosPassReport PosCommandQueue::processPosCommands(const QString &sPrinterName)
{
    PosPassReport report;
    report.printerName = sPrinterName;
    QElapsedTimer elapsed;
    elapsed.start();
    struct Busy {
        const std::function<void(bool)> &hook;
        explicit Busy(const std::function<void(bool)> &h) : hook(h) { if (hook) hook(true); }
        ~Busy() { if (hook) hook(false); }
    } busy(m_busy);
    const auto done = [&] {
        report.elapsedMs = elapsed.elapsed();
        return report;
    };

    const QString stationId = m_draldb.config_getvalue(QStringLiteral("stationid"));
    // Only a whole number goes into the query: "7 OR 1=1" would print and
    // delete other stations' receipts. The query would fail on any other
    // text, and a failed query ends the pass silently.
    if (!database::isPlainStationId(stationId)) {
        report.failure = QStringLiteral("the station id \"%1\" of the client library is not a whole number")
                             .arg(stationId);
        return done();
    }
    qint32 resultSet = 0;
    const QString error = m_draldb.VB_new_sql(m_libraryConnection, poscommands::queueQuery(stationId), resultSet, 0);
    // A failed query has nothing to free, and the printer is not bothered.
    if (resultSet == 0) {
        report.rowsLeftQueued = true;
        report.failure = QStringLiteral("the queue could not be read: %1")
                             .arg(error.isEmpty() ? QStringLiteral("no result") : error);
        return done();
    }
    report.queryRan = true;

    const auto freeResultSet = [&] {
        qint32 copy = resultSet;
        m_draldb.VB_free(copy);
    };
    PassRows rows;
    try {
        const qint32 numRecords = m_draldb.VB_numrecord(resultSet);
        // The name finds the job on the print server when its answer is lost
        // or the launcher starts again.
        report.jobName = poscommands::jobNamePrefix(stationId) + m_runToken + QLatin1Char('-') +
                         QString::number(++m_jobs);
        // An empty queue opens the printer too, so a notification still tells
        // the person at the till when the printer is gone.
        QSet<QString> held;
        std::optional<PrintJournal::Job> resend;
        if (!m_channel.escposOpen(report.jobName, report.printerName)) {
            // The rows stay queued for a later pass that finds the printer;
            // deleting them now would lose the receipts.
            report.rowsLeftQueued = numRecords > 0;
            report.failure = QStringLiteral("the printer \"%1\" could not be opened: %2")
                                 .arg(report.printerName, QString::fromStdString(m_spooler.lastError()));
        } else if (report.printerOpened = true; !followJobs(held, resend, report)) {
            // A job of an earlier pass may yet print: its rows must not print
            // beside it, nor newer rows before them.
            m_channel.escposAbandon();
            report.rowsLeftQueued = numRecords > 0;
        } else {
            // A job the server lost goes again as it was, under its name: a
            // printer backend that kept what the printer confirmed of it
            // (the escpos backend does, for its job) need not print that
            // again.
            if (resend) {
                report.jobName = resend->name;
                if (!m_channel.escposOpen(report.jobName, report.printerName)) {
                    // Its turn comes at the next pass.
                    PrintJournal::Content content = m_journal.content();
                    content.jobs.prepend(*resend);
                    m_journal.save(content, nullptr);
                    resend.reset();
                    report.printerOpened = false;
                    report.rowsLeftQueued = numRecords > 0;
                    report.failure = QStringLiteral("the printer \"%1\" could not be opened: %2")
                                         .arg(report.printerName, QString::fromStdString(m_spooler.lastError()));
                    freeResultSet();
                    return done();
                }
            }
            report.printerSays = escpos::reasonsInWords(m_channel.printerReasons());
            printRows(resultSet, numRecords, held, resend ? &resend->rows : nullptr, rows, report);
            handOver(rows, report);
            deleteRows(resultSet, rows, report);
        }
    } catch (...) {
        // An error before the job was handed over leaves every row of the
        // pass queued, so none of its receipts may print: the next pass
        // prints them all (what the server has of the job stays held, and
        // that pass cancels it). After the hand-over the journal holds the
        // job. The library gets its result set back; the error itself is
        // the caller's.
        m_channel.escposAbandon();
        if (m_channel.lastFate() == platform::JobFate::Unknown && !rows.inJob.isEmpty() && !rows.journalled) {
            PrintJournal::Content content = m_journal.content();
            content.jobs.append(PrintJournal::Job{report.jobName, report.printerName, m_channel.lastJob().id, true,
                                                  idsOf(rows.inJob)});
            m_journal.save(content, nullptr);
        }
        freeResultSet();
        throw;
    }
    freeResultSet();
    return done();
}

QStringList PosCommandQueue::idsOf(const QList<ReadRow> &rows)
{
    QStringList ids;
    for (const ReadRow &row : rows) {
        if (!row.id.isEmpty())
            ids << row.id;
    }
    return ids;
}

bool PosCommandQueue::followJobs(QSet<QString> &held, std::optional<PrintJournal::Job> &resend,
                                 PosPassReport &report)
{
    PrintJournal::Content content = m_journal.content();
    if (content.jobs.isEmpty())
        return true;
    QList<PrintJournal::Job> waiting;
    bool answered = true;
    bool changed = false;
    for (const PrintJournal::Job &job : std::as_const(content.jobs)) {
        platform::JobStage stage = platform::JobStage::Unknown;
        // One server that does not answer is asked no more in this pass.
        if (answered)
            stage = m_spooler.followJob(platform::JobRef{job.printer.toStdString(), job.name.toStdString(), job.id});
        if (job.unanswered && answered) {
            report.earlierJobFate = stage == platform::JobStage::Gone      ? platform::JobFate::NotTaken
                                    : stage == platform::JobStage::Unknown ? platform::JobFate::Unknown
                                                                           : platform::JobFate::Taken;
        }
        switch (stage) {
        case platform::JobStage::Printed:
            // On paper: from here its rows are deleted unprinted, by this
            // pass or, should the deletes not get through, a later one.
            content.printed.unite(QSet<QString>(job.rows.begin(), job.rows.end()));
            changed = true;
            break;
        case platform::JobStage::Gone:
            // The server will never print it (most often: it died before it
            // wrote the job to disk): its rows print again, the first such
            // job's in this pass, alone; the next ones wait their turn.
            if (!resend) {
                resend = job;
                changed = true;
                break;
            }
            waiting.append(job);
            held.unite(QSet<QString>(job.rows.begin(), job.rows.end()));
            break;
        case platform::JobStage::Unknown:
            if (answered)
                report.failure = QStringLiteral("the print server did not say what became of the job \"%1\": %2")
                                     .arg(job.name, QString::fromStdString(m_spooler.lastError()));
            answered = false;
            [[fallthrough]];
        case platform::JobStage::Waiting:
            waiting.append(job);
            held.unite(QSet<QString>(job.rows.begin(), job.rows.end()));
            break;
        }
    }
    content.jobs = waiting;
    QString error;
    if (changed && !m_journal.save(content, &error) && report.failure.isEmpty())
        report.failure = error;
    return answered;
}

void PosCommandQueue::handOver(PassRows &rows, PosPassReport &report)
{
    // Nothing went to paper for these rows (no receipt, no drawer pulse):
    // nothing to wait for.
    const bool paper = report.receipts + report.drawerPulses > 0;
    PrintJournal::Job job{report.jobName, report.printerName, m_channel.currentJob().id, false, idsOf(rows.inJob)};
    QString error;
    if (paper) {
        // The job goes into the journal before it is let go: a till that
        // dies from here on finds it there at its next start, and asks the
        // print server about it before it prints its rows again.
        PrintJournal::Content content = m_journal.content();
        content.jobs.append(job);
        rows.journalled = m_journal.save(content, &error);
        if (!rows.journalled)
            report.failure = error + QStringLiteral("; the rows leave the queue as soon as the print server has "
                                                    "the job, and a power cut may lose them");
    }
    const auto dropJob = [&](bool asPrinted) {
        PrintJournal::Content content = m_journal.content();
        content.jobs.removeAll(job);
        if (asPrinted)
            content.printed.unite(QSet<QString>(job.rows.begin(), job.rows.end()));
        if (!m_journal.save(content, &error) && report.failure.isEmpty())
            report.failure = error;
    };
    if (!m_channel.escposClose()) {
        report.rowsLeftQueued = !rows.inJob.isEmpty();
        report.failure = QStringLiteral("the print server did not take the job: %1")
                             .arg(QString::fromStdString(m_spooler.lastError()));
        if (m_channel.lastFate() == platform::JobFate::Unknown) {
            // The next pass asks the server what became of it first.
            report.jobFateUnknown = true;
            PrintJournal::Content content = m_journal.content();
            content.jobs.removeAll(job);
            content.jobs.append(
                PrintJournal::Job{job.name, job.printer, m_channel.lastJob().id, true, job.rows});
            m_journal.save(content, nullptr);
        } else if (rows.journalled) {
            dropJob(false);
        }
        rows.inJob.clear();
        return;
    }
    report.jobAccepted = true;
    if (!paper || !rows.journalled)
        return; // deleted now
    // The rows stay queued until the print server reports the job completed:
    // the commit point is paper, not the hand-over. A receipt lost with a
    // print server that had not yet written the job to disk prints again;
    // one printed is never printed again by a later pass, as the journal
    // holds its rows while the job lives. One look at once: a job the server
    // has finished already leaves the queue in this pass.
    if (m_spooler.followJob(platform::JobRef{job.printer.toStdString(), job.name.toStdString(), job.id}) ==
        platform::JobStage::Printed) {
        dropJob(true);
        return;
    }
    report.rowsAwaitingPaper += int(rows.inJob.size());
    rows.inJob.clear();
}

LeftoverReport PosCommandQueue::cancelHeldLeftovers(const QString &sPrinterName)
{
    LeftoverReport report;
    report.printerName = sPrinterName;
    const QString stationId = m_draldb.config_getvalue(QStringLiteral("stationid"));
    if (!database::isPlainStationId(stationId)) {
        report.failure = QStringLiteral("the station id \"%1\" of the client library is not a whole number")
                             .arg(stationId);
        return report;
    }
    if (report.printerName.isEmpty())
        report.printerName = QString::fromStdString(m_spooler.defaultPrinter());
    const std::optional<int> cancelled = m_spooler.cancelHeldJobs(
        report.printerName.toStdString(), poscommands::jobNamePrefix(stationId).toStdString());
    report.asked = cancelled.has_value();
    report.cancelled = cancelled.value_or(0);
    report.failure = QString::fromStdString(m_spooler.lastError());
    if (!report.asked && report.failure.isEmpty())
        report.failure = QStringLiteral("the print server did not list the jobs");
    return report;
}

void PosCommandQueue::printRows(qint32 resultSet, qint32 numRecords, const QSet<QString> &held,
                                const QStringList *only, PassRows &rows, PosPassReport &report)
{
    const QSet<QString> &printed = m_journal.content().printed;
    bool drawerOpened = false;
    for (qint32 index = 0; index < numRecords; ++index) {
        qint32 row = m_draldb.VB_moveto(resultSet, index);
        const QString sCommand = m_draldb.VB_getvalue(resultSet, QString(""), QStringLiteral("command"), row);
        const QString sDevice = m_draldb.VB_getvalue(resultSet, QString(""), QStringLiteral("device"), row);
        const QString sId = m_draldb.VB_getvalue(resultSet, QString(""), QStringLiteral("id"), row);
        const double device = poscommands::numericValue(sDevice);
        ++report.rowsRead;
        rows.seen.insert(sId);

        if (!sId.isEmpty() && printed.contains(sId)) {
            // On paper; its delete did not get through.
            ++report.alreadyPrinted;
            rows.printed.append({row, sId});
            continue;
        }
        if (!sId.isEmpty() && held.contains(sId)) {
            // A job the print server has not completed holds it: printing
            // it now could put it on paper twice.
            ++report.rowsAwaitingPaper;
            continue;
        }
        if (only && !only->contains(sId)) {
            // After the lost job that goes again: the next pass prints it.
            report.rowsLeftQueued = true;
            continue;
        }
        if (device == poscommands::kReceiptPrinter) {
            m_channel.escposStartPage();
            m_channel.escposSelectReceipt();
            const QString sPrinted = poscommands::replaceFeedAndCut(sCommand);
            m_channel.escposWrite(sPrinted);
            // A receipt that asks for its own cuts gets exactly those; any
            // other is cut once at its end so the next one starts on fresh
            // paper.
            if (sPrinted == sCommand)
                m_channel.escposCut();
            m_channel.escposEndPage();
            ++report.receipts;
        } else if (device == poscommands::kCashDrawer) {
            // Several drawer rows mean one open drawer, not a drawer that
            // bangs open and shut while the cashier reaches for it.
            if (!drawerOpened) {
                m_channel.escposStartPage();
                m_channel.escposSelectReceipt();
                m_channel.escposOpenDrawer();
                m_channel.escposEndPage();
                drawerOpened = true;
                ++report.drawerPulses;
            }
        }
        // Every row read leaves the queue with the job, those of no device
        // of ours too: leaving one would only have it read again on every
        // notification.
        rows.inJob.append({row, sId});
    }
}

void PosCommandQueue::deleteRows(qint32 resultSet, const PassRows &rows, PosPassReport &report)
{
    PrintJournal::Content journal = m_journal.content();
    for (ReadRow row : rows.printed + rows.inJob) {
        const QString error = m_draldb.VB_delete(resultSet, QStringLiteral("poscommands"), row.handle);
        if (error.isEmpty()) {
            ++report.rowsDeleted;
            journal.printed.remove(row.id);
        } else if (!report.rowsLeftQueued) {
            report.rowsLeftQueued = true;
            report.failure = QStringLiteral("the printed rows could not be deleted: %1").arg(error);
        }
    }
    // What the query no longer gives has left the queue already.
    for (auto it = journal.printed.begin(); it != journal.printed.end();)
        it = rows.seen.contains(*it) ? std::next(it) : journal.printed.erase(it);
    QString journalError;
    if (journal.printed != m_journal.content().printed && !m_journal.save(journal, &journalError) &&
        report.failure.isEmpty())
        report.failure = journalError;
}

std::optional<bool> PosCommandQueue::rowsWaiting()
{
    const QString stationId = m_draldb.config_getvalue(QStringLiteral("stationid"));
    if (!database::isPlainStationId(stationId))
        return false;
    qint32 resultSet = 0;
    m_draldb.VB_new_sql(m_libraryConnection, poscommands::waitingCountQuery(stationId), resultSet, 0);
    if (resultSet == 0)
        return std::nullopt;
    std::optional<bool> waiting;
    if (m_draldb.VB_numrecord(resultSet) > 0) {
        qint32 row = m_draldb.VB_moveto(resultSet, 0);
        waiting = poscommands::numericValue(
                      m_draldb.VB_getvalue(resultSet, QString(), QStringLiteral("waiting"), row))
                  > 0;
    }
    m_draldb.VB_free(resultSet);
    return waiting;
}

bool PosCommandQueue::printerReachable(const QString &sPrinterName)
{
    std::string name = sPrinterName.toStdString();
    if (name.empty())
        name = m_spooler.defaultPrinter();
    return !name.empty() && m_spooler.openPrinter(name) != nullptr;
}

namespace poscommands {

QString jobNamePrefix(const QString &sStationId)
{
    return QStringLiteral("Korvantis POS #") + sStationId + QLatin1Char(' ');
}

QString queueQuery(const QString &sStationId)
{
    // The device condition starts from a false seed so that each handled
    // device is one more OR clause.
    return QStringLiteral("Select * from poscommands where stationid =") + sStationId +
           QStringLiteral(" AND ( 0 = 1 ") + QStringLiteral(" OR device=1 OR device=2") +
           QStringLiteral(") ORDER BY id ");
}

QString waitingCountQuery(const QString &sStationId)
{
    return QStringLiteral("Select count(*) as waiting from poscommands where stationid =") + sStationId +
           QStringLiteral(" AND (device=1 OR device=2)");
}

QString replaceFeedAndCut(const QString &sCommand)
{
    // The four characters are ASCII and the printer mapping keeps every
    // character below 256 as its own byte and turns no other character into
    // one of these, so matching characters is matching the printer's bytes.
    static const QString feedAndCut = QStringLiteral("\x1b|fP");
    static const QString cut = QString(QChar(0x1D)) + QChar(0x56) + QChar(0x42) + QChar(0x00);
    QString s = sCommand;
    s.replace(feedAndCut, cut);
    return s;
}

double numericValue(const QString &sText)
{
    qsizetype i = 0;
    while (i < sText.size() && (sText[i] == u' ' || sText[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < sText.size() && (sText[i] == u'+' || sText[i] == u'-')) {
        negative = sText[i] == u'-';
        ++i;
    }
    double value = 0;
    double scale = 0;
    for (; i < sText.size(); ++i) {
        const QChar c = sText[i];
        if (c >= u'0' && c <= u'9') {
            const int digit = c.unicode() - u'0';
            if (scale == 0) {
                value = value * 10 + digit;
            } else {
                value += digit * scale;
                scale /= 10;
            }
        } else if (c == u'.' && scale == 0) {
            scale = 0.1;
        } else {
            break;
        }
    }
    return negative ? -value : value;
}

} // namespace poscommands
} // namespace kv
