#include "escpos/vbPosCommands.h"

#include "config/vbDatabase.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

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
    QList<ReadRow> rows;
    try {
        const qint32 numRecords = m_draldb.VB_numrecord(resultSet);
        // The name finds the job on the print server when its answer is lost.
        report.jobName = poscommands::jobNamePrefix(stationId) + m_runToken + QLatin1Char('-') +
                         QString::number(++m_jobs);
        // An empty queue opens the printer too, so a notification still tells
        // the person at the till when the printer is gone.
        if (!m_channel.escposOpen(report.jobName, report.printerName)) {
            // The rows stay queued for a later pass that finds the printer;
            // deleting them now would lose the receipts.
            report.rowsLeftQueued = numRecords > 0;
            report.failure = QStringLiteral("the printer \"%1\" could not be opened: %2")
                                 .arg(report.printerName, QString::fromStdString(m_spooler.lastError()));
        } else if (m_unsettled && !settleEarlierJob(report)) {
            // The earlier job may yet print: its rows must not print beside it.
            m_channel.escposAbandon();
            report.printerOpened = true;
            report.rowsLeftQueued = numRecords > 0;
        } else {
            report.printerOpened = true;
            report.printerSays = escpos::reasonsInWords(m_channel.printerReasons());
            printRows(resultSet, numRecords, rows, report);
            // A row leaves the queue only once the print server holds its
            // receipt: a server that dies in mid-pass leaves every row of the
            // pass for the next one. Printing one twice is better than none.
            if (!m_channel.escposClose()) {
                report.rowsLeftQueued = !rows.isEmpty();
                report.failure = QStringLiteral("the print server did not take the job: %1")
                                     .arg(QString::fromStdString(m_spooler.lastError()));
                keepIfUnsettled(rows, report);
            } else {
                report.jobAccepted = true;
                deleteRows(resultSet, rows, report);
            }
        }
    } catch (...) {
        // An error before the job was handed over leaves every row of the
        // pass queued, so none of its receipts may print: the next pass
        // prints them all (what the server has of the job stays held, and
        // that pass cancels it). After the hand-over there is no job left to
        // drop. The library gets its result set back; the error itself is
        // the caller's.
        m_channel.escposAbandon();
        keepIfUnsettled(rows, report);
        freeResultSet();
        throw;
    }
    freeResultSet();
    return done();
}

bool PosCommandQueue::settleEarlierJob(PosPassReport &report)
{
    const platform::JobFate fate = m_spooler.settleJob(m_unsettled->job);
    report.earlierJobFate = fate;
    if (fate == platform::JobFate::Unknown) {
        report.failure = QStringLiteral("the print server did not say whether it took the job \"%1\": %2")
                             .arg(QString::fromStdString(m_unsettled->job.name),
                                  QString::fromStdString(m_spooler.lastError()));
        return false;
    }
    if (fate == platform::JobFate::Taken) {
        // Its rows are printed: from here they are the journal's, like the
        // rows of a job taken whose deletes did not get through.
        QString error;
        if (!m_journal.save(m_journal.ids() + m_unsettled->ids, &error))
            report.failure = error;
    }
    m_unsettled.reset();
    return true;
}

void PosCommandQueue::keepIfUnsettled(const QList<ReadRow> &rows, PosPassReport &report)
{
    if (m_channel.lastFate() != platform::JobFate::Unknown)
        return;
    report.jobFateUnknown = true;
    Unsettled unsettled{m_channel.lastJob(), {}};
    for (const ReadRow &row : rows) {
        if (!row.id.isEmpty())
            unsettled.ids.insert(row.id);
    }
    m_unsettled = std::move(unsettled);
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

void PosCommandQueue::printRows(qint32 resultSet, qint32 numRecords, QList<ReadRow> &rows, PosPassReport &report)
{
    const QSet<QString> &journalled = m_journal.ids();
    bool drawerOpened = false;
    for (qint32 index = 0; index < numRecords; ++index) {
        qint32 row = m_draldb.VB_moveto(resultSet, index);
        const QString sCommand = m_draldb.VB_getvalue(resultSet, QString(""), QStringLiteral("command"), row);
        const QString sDevice = m_draldb.VB_getvalue(resultSet, QString(""), QStringLiteral("device"), row);
        const QString sId = m_draldb.VB_getvalue(resultSet, QString(""), QStringLiteral("id"), row);
        const double device = poscommands::numericValue(sDevice);
        ++report.rowsRead;

        if (!sId.isEmpty() && journalled.contains(sId)) {
            // Printed by a pass whose deletes did not get through.
            ++report.alreadyPrinted;
        } else if (device == poscommands::kReceiptPrinter) {
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
        // Every row read leaves the queue, those of no device of ours too:
        // leaving one would only have it read again on every notification.
        rows.append({row, sId});
    }
}

void PosCommandQueue::deleteRows(qint32 resultSet, const QList<ReadRow> &rows, PosPassReport &report)
{
    // The print server holds the receipts now: should the deletes not get
    // through, the next pass must know not to print them again.
    QSet<QString> journal = m_journal.ids();
    QSet<QString> seen;
    for (const ReadRow &row : rows) {
        if (!row.id.isEmpty()) {
            journal.insert(row.id);
            seen.insert(row.id);
        }
    }
    QString journalError;
    if (!rows.isEmpty() && !m_journal.save(journal, &journalError))
        report.failure = journalError;
    for (ReadRow row : rows) {
        const QString error = m_draldb.VB_delete(resultSet, QStringLiteral("poscommands"), row.handle);
        if (error.isEmpty()) {
            ++report.rowsDeleted;
            journal.remove(row.id);
        } else if (!report.rowsLeftQueued) {
            report.rowsLeftQueued = true;
            report.failure = QStringLiteral("the printed rows could not be deleted: %1").arg(error);
        }
    }
    // What the query no longer gives has left the queue already.
    for (auto it = journal.begin(); it != journal.end();)
        it = seen.contains(*it) ? std::next(it) : journal.erase(it);
    if (!m_journal.save(journal, &journalError) && report.failure.isEmpty())
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
