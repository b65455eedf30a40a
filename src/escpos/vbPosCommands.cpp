#include "escpos/vbPosCommands.h"

#include "config/vbDatabase.h"

namespace kv {

namespace {

const QString kDocName = QStringLiteral("Korvantis POS");
const QString kQueueTable = QStringLiteral("poscommands");

} // namespace

PosCommandQueue::PosCommandQueue(DraldbClient &draldb, const qint32 &libraryConnection, EscposChannel &channel,
                                 LauncherSettings &shellConf, Prompter &prompter)
    : m_draldb(draldb),
      m_libraryConnection(libraryConnection),
      m_channel(channel),
      m_shellConf(shellConf),
      m_prompter(prompter)
{
}

PrintJobNotTaken::PrintJobNotTaken()
    : std::runtime_error("The print server did not take the receipts; they stay queued for the next pass.")
{
}

void PosCommandQueue::processPosCommands()
{
    BusyCursor busy(m_prompter);

    const QString stationId = m_draldb.config_getvalue(QStringLiteral("stationid"));
    // Only a whole number goes into the query: "7 OR 1=1" would print and
    // delete other stations' receipts. The query would fail on any other
    // text, and a failed query ends the pass silently.
    if (!database::isPlainStationId(stationId))
        return;
    const QString sSql = poscommands::queueQuery(stationId);
    qint32 resultSet = 0;
    m_draldb.VB_new_sql(m_libraryConnection, sSql, resultSet, 0);
    // A failed query has nothing to free, and the printer is not bothered.
    if (resultSet == 0)
        return;

    const auto freeResultSet = [&] {
        qint32 copy = resultSet;
        m_draldb.VB_free(copy);
    };
    try {
        const qint32 numRecords = m_draldb.VB_numrecord(resultSet);
        // An empty queue opens the printer too, so a notification still tells
        // the person at the till when the printer is gone.
        if (m_channel.escposOpen(kDocName, m_shellConf.esc_printer)) {
            const QList<qint32> rows = printRows(resultSet, numRecords);
            // A row leaves the queue only once the print server holds its
            // receipt: a server that dies in mid-pass leaves every row of the
            // pass for the next one. Printing one twice is better than none.
            if (!m_channel.escposClose())
                throw PrintJobNotTaken();
            for (qint32 row : rows)
                m_draldb.VB_delete(resultSet, kQueueTable, row);
        } else {
            // The rows stay queued for a later notification that finds the
            // printer; deleting them now would lose the receipts.
            MessageBox box;
            box.text = QStringLiteral("Could not connect to the printer.");
            box.title = QStringLiteral("Korvantis Launcher");
            box.buttons = MsgButtons::OK;
            box.icon = MsgIcon::Critical;
            box.systemModal = true;
            m_prompter.messageBox(box);
        }
    } catch (...) {
        // An error before the job was handed over leaves every row of the
        // pass queued, so none of its receipts may print: the next pass
        // prints them all. (After the hand-over there is no job left to
        // drop.) The library gets its result set back; the error itself is
        // the caller's.
        m_channel.escposAbandon();
        freeResultSet();
        throw;
    }
    freeResultSet();
}

QList<qint32> PosCommandQueue::printRows(qint32 resultSet, qint32 numRecords)
{
    QList<qint32> rows;
    bool drawerOpened = false;
    for (qint32 index = 0; index < numRecords; ++index) {
        qint32 row = m_draldb.VB_moveto(resultSet, index);
        const QString sCommand = m_draldb.VB_getvalue(resultSet, QString(""), QStringLiteral("command"), row);
        const QString sDevice = m_draldb.VB_getvalue(resultSet, QString(""), QStringLiteral("device"), row);
        const double device = poscommands::numericValue(sDevice);

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
        } else if (device == poscommands::kCashDrawer) {
            // Several drawer rows mean one open drawer, not a drawer that
            // bangs open and shut while the cashier reaches for it.
            if (!drawerOpened) {
                m_channel.escposStartPage();
                m_channel.escposSelectReceipt();
                m_channel.escposOpenDrawer();
                m_channel.escposEndPage();
                drawerOpened = true;
            }
        }
        // Every row read leaves the queue, those of no device of ours too:
        // leaving one would only have it read again on every notification.
        rows.append(row);
    }
    return rows;
}

namespace poscommands {

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
