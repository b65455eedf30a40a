#include "escpos/vbPosCommands.h"

#include "station/vbDatabase.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <utility>

namespace kv {

PosCommandQueue::PosCommandQueue(DraldbClient &draldb, const qint32 &libraryConnection, platform::Spooler &spooler)
    : m_draldb(draldb), m_libraryConnection(libraryConnection), m_spooler(spooler), m_channel(spooler),
      m_ledger(draldb, libraryConnection, spooler),
      m_runToken(QString::number(QRandomGenerator::system()->generate(), 16))
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
        report.jobsOut = m_ledger.jobsOut();
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

    QList<Row> fresh;
    QList<LedgerJob> recorded;
    QList<QList<Row>> recordedRows;
    try {
        const qint32 numRecords = m_draldb.VB_numrecord(resultSet);
        for (qint32 index = 0; index < numRecords; ++index) {
            qint32 handle = m_draldb.VB_moveto(resultSet, index);
            const auto value = [&](const char *column) {
                return m_draldb.VB_getvalue(resultSet, QString(""), QLatin1String(column), handle);
            };
            Row row{value("id"), poscommands::numericValue(value("device")), value("command"), value("printjob")};
            ++report.rowsRead;
            if (row.mark.isEmpty()) {
                fresh.append(row);
                continue;
            }
            const std::optional<LedgerJob> job = ReceiptLedger::jobOfMark(row.mark);
            if (!job) {
                // Printed again rather than never.
                if (!report.damagedMarks.contains(row.mark))
                    report.damagedMarks.append(row.mark);
                fresh.append(row);
                continue;
            }
            qsizetype at = 0;
            while (at < recorded.size() && !(recorded[at].name == job->name && recorded[at].id == job->id))
                ++at;
            if (at == recorded.size()) {
                recorded.append(*job);
                recordedRows.append(QList<Row>());
            }
            recorded[at].rows.append(row.id);
            recordedRows[at].append(row);
        }
    } catch (...) {
        m_draldb.VB_free(resultSet);
        throw;
    }
    m_draldb.VB_free(resultSet);

    report.jobName = poscommands::jobNamePrefix(stationId) + m_runToken + QLatin1Char('-') + QString::number(++m_jobs);
    // An empty queue opens the printer too, so a notification still tells
    // the person at the till when the printer is gone. Nothing is written
    // here, so closing it again makes no job.
    if (!m_channel.escposOpen(report.jobName, report.printerName)) {
        report.rowsLeftQueued = report.rowsRead > 0;
        report.failure = QStringLiteral("the printer \"%1\" could not be opened: %2")
                             .arg(report.printerName, QString::fromStdString(m_spooler.lastError()));
        return done();
    }
    report.printerOpened = true;
    report.printerSays = escpos::reasonsInWords(m_channel.printerReasons());
    if (m_channel.printerStopped())
        report.printerSays.prepend(QStringLiteral("its queue is stopped"));
    // Closed without a byte, it leaves no job; the new job's document stays
    // open for it while no other job goes first.
    const struct Close {
        EscposChannel &channel;
        ~Close() { channel.escposAbandon(); }
    } close{m_channel};

    m_ledger.sweepAbandoned();
    // What became of the jobs that hold rows, oldest first.
    QList<qsizetype> again;
    for (qsizetype i = 0; i < recorded.size(); ++i) {
        const LedgerJob &job = recorded[i];
        QString failure;
        switch (m_ledger.follow(job)) {
        case LedgerState::Printed:
            if (m_ledger.complete(stationId, job, failure)) {
                report.alreadyPrinted += int(job.rows.size());
                report.rowsDeleted += int(job.rows.size());
                break;
            }
            report.failure = failure;
            m_ledger.watch(job);
            report.rowsAwaitingPaper += int(job.rows.size());
            break;
        case LedgerState::Lost:
        case LedgerState::Cancelled:
            m_ledger.unwatch(job);
            again.append(i);
            break;
        case LedgerState::Unanswered:
            // A job that may yet print: neither its rows nor newer ones may
            // print beside it.
            report.rowsLeftQueued = true;
            report.failure = QStringLiteral("the print server did not say what became of the job \"%1\": %2")
                                 .arg(job.name, QString::fromStdString(m_spooler.lastError()));
            return done();
        default:
            m_ledger.watch(job);
            report.rowsAwaitingPaper += int(job.rows.size());
            break;
        }
    }
    // The jobs that will never print from the server go again as they were,
    // under their names, before anything newer: the printer's backend sends
    // only the receipts it has not confirmed of them.
    for (const qsizetype i : again) {
        LedgerJob job = recorded[i];
        job.printer = report.printerName;
        if (!sendJob(stationId, job, recordedRows[i], report))
            return done();
        ++report.resent;
    }
    if (!fresh.isEmpty()) {
        LedgerJob job{report.jobName, report.printerName, 0, {}};
        for (const Row &row : std::as_const(fresh))
            job.rows.append(row.id);
        sendJob(stationId, job, fresh, report);
    }
    return done();
}

bool PosCommandQueue::sendJob(const QString &stationId, LedgerJob &job, const QList<Row> &rows,
                              PosPassReport &report)
{
    QString printer = job.printer;
    const bool open = m_channel.isOpen() && m_channel.documentRecord().pDocName == job.name;
    if (!open && !m_channel.escposOpen(job.name, printer)) {
        report.rowsLeftQueued = true;
        report.failure = QStringLiteral("the printer \"%1\" could not be opened: %2")
                             .arg(printer, QString::fromStdString(m_spooler.lastError()));
        return false;
    }
    writeRows(rows, report);
    QString failure;
    LedgerState state = LedgerState::Built;
    try {
        state = m_ledger.handOver(m_channel, stationId, job, failure);
    } catch (...) {
        // What the server holds of it never prints: cancelled at the next
        // look if it was not recorded, sent again in its name if it was.
        const platform::JobRef held = m_channel.currentJob();
        m_channel.escposAbandon();
        if (held.id > 0)
            m_spooler.followJob(held);
        throw;
    }
    if (state == LedgerState::Built) {
        report.rowsLeftQueued = true;
        report.failure = failure;
        return false;
    }
    if (state == LedgerState::Recorded) {
        report.failure = failure;
        report.rowsAwaitingPaper += int(rows.size());
        return false;
    }
    report.jobAccepted = true;
    // One look at once: a job the server has finished already leaves the
    // queue in this pass.
    if (m_ledger.follow(job) == LedgerState::Printed && m_ledger.complete(stationId, job, failure))
        report.rowsDeleted += int(rows.size());
    else
        report.rowsAwaitingPaper += int(rows.size());
    return true;
}

LedgerFollow PosCommandQueue::followJobs()
{
    const QString stationId = m_draldb.config_getvalue(QStringLiteral("stationid"));
    if (!database::isPlainStationId(stationId))
        return LedgerFollow{0, false, m_ledger.jobsOut(), QStringLiteral("the station id is not a whole number")};
    return m_ledger.followOut(stationId);
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

void PosCommandQueue::writeRows(const QList<Row> &rows, PosPassReport &report)
{
    bool drawerOpened = false;
    for (const Row &row : rows) {
        if (row.device == poscommands::kReceiptPrinter) {
            m_channel.escposStartPage();
            m_channel.escposSelectReceipt();
            const QString sPrinted = poscommands::replaceFeedAndCut(row.command);
            m_channel.escposWrite(sPrinted);
            // A receipt that asks for its own cuts gets exactly those; any
            // other is cut once at its end so the next one starts on fresh
            // paper.
            if (sPrinted == row.command)
                m_channel.escposCut();
            m_channel.escposEndPage();
            ++report.receipts;
        } else if (row.device == poscommands::kCashDrawer && !drawerOpened) {
            // Several drawer rows mean one open drawer, not a drawer that
            // bangs open and shut while the cashier reaches for it.
            m_channel.escposStartPage();
            m_channel.escposSelectReceipt();
            m_channel.escposOpenDrawer();
            m_channel.escposEndPage();
            drawerOpened = true;
            ++report.drawerPulses;
        }
        // Every row read leaves the queue with its job, those of a drawer
        // already pulsed too.
    }
}

std::optional<int> PosCommandQueue::count(QString (*query)(const QString &))
{
    const QString stationId = m_draldb.config_getvalue(QStringLiteral("stationid"));
    if (!database::isPlainStationId(stationId))
        return 0;
    qint32 resultSet = 0;
    m_draldb.VB_new_sql(m_libraryConnection, query(stationId), resultSet, 0);
    if (resultSet == 0)
        return std::nullopt;
    std::optional<int> rows;
    if (m_draldb.VB_numrecord(resultSet) > 0) {
        qint32 row = m_draldb.VB_moveto(resultSet, 0);
        rows = int(poscommands::numericValue(
            m_draldb.VB_getvalue(resultSet, QString(), QStringLiteral("waiting"), row)));
    }
    m_draldb.VB_free(resultSet);
    return rows;
}

std::optional<bool> PosCommandQueue::rowsWaiting()
{
    const std::optional<int> rows = count(poscommands::waitingCountQuery);
    return rows ? std::optional<bool>(*rows > 0) : std::nullopt;
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
