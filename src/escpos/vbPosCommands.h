// The POS command queue: the rows other parts of the system put into
// "poscommands" for this station become receipts and a drawer pulse on the
// receipt printer, and leave the queue. The database is reached only through
// the client library, the printer only through a printer channel.
#pragma once

#include "station/vbConfig.h"
#include "station/vbDraldb.h"
#include "escpos/receiptledger.h"
#include "escpos/vbEscpos.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>

namespace kv {

// What one pass over the queue did, for the tick that applies it and for the
// log.
struct PosPassReport {
    // A result set came back (the query ran).
    bool queryRan = false;
    int rowsRead = 0;
    int receipts = 0;
    int drawerPulses = 0;
    // Rows of earlier jobs seen printed now, deleted unprinted.
    int alreadyPrinted = 0;
    // Jobs the print server lost or that were cancelled there, sent again
    // under their own names: the printer's backend prints only what it had
    // not confirmed of them.
    int resent = 0;
    bool printerOpened = false;
    // The print server took a job of this pass and let it go.
    bool jobAccepted = false;
    int rowsDeleted = 0;
    // The printer the pass used: the default printer's name when it was
    // handed none.
    QString printerName;
    // Rows of this pass may still be queued unprinted: the printer could not
    // be opened, a job was not taken or not recorded, the query or the
    // print server did not answer.
    bool rowsLeftQueued = false;
    // Why, for a person to read; "" when the pass did all it should.
    QString failure;
    // Marks on rows that name no job of this launcher's: their rows print
    // again (a damaged record is never a reason to delete a row).
    QStringList damagedMarks;
    qint64 elapsedMs = 0;
    // The name of the pass's new print job on the print server.
    QString jobName;
    // Why the printer does not print, in words ("out of paper", "the queue
    // is stopped" ...), as its queue said when the pass opened it: receipts
    // the server took wait there until the printer is back.
    QStringList printerSays;
    // Rows that stay queued because a job the print server has not yet
    // reported completed holds them (this pass's or an earlier one's): no
    // pass prints them while that job lives, and the look that sees it
    // completed deletes them.
    int rowsAwaitingPaper = 0;
    // Jobs out, waiting for their paper, after the pass.
    int jobsOut = 0;

    // Another pass is due soon: rows stay queued for want of a printer or
    // a server.
    bool wantsAnotherPass() const { return rowsLeftQueued; }
};

// What the look for held jobs of an earlier run found.
struct LeftoverReport {
    QString printerName;
    // The print server listed the printer's jobs.
    bool asked = false;
    int cancelled = 0;
    // Why not all could be looked at or cancelled; "" when all went well.
    QString failure;
};

// One object per program, built by whoever owns the program's state; tests
// build their own around the real library and print server. Nothing in it
// touches a window: the launcher runs its passes off the window thread and
// tells the person what the report says. The pass reads rows and builds
// documents; what becomes of a job is the ledger's.
class PosCommandQueue {
public:
    // libraryConnection is the owner's variable, read at every pass: start-up
    // may open the library connection after this object exists. The queue
    // prints through a channel of its own on `spooler`.
    PosCommandQueue(DraldbClient &draldb, const qint32 &libraryConnection, platform::Spooler &spooler);

    // Called with true as a pass begins and false as it ends, from the
    // thread that runs the pass.
    void setBusyHook(std::function<void(bool)> hook) { m_busy = std::move(hook); }

    // One pass over the station's queue on sPrinterName ("" for the default
    // printer). Rows that a job holds (see ReceiptLedger) are not printed
    // again while it lives: those of a job now printed are deleted, those of
    // a job lost or cancelled go again in that job's name, oldest first.
    // Then every row no job holds is printed (device 1), pulses the drawer
    // at most once (device 2), in one new job, which is recorded with its
    // rows before it may print. The rows leave the queue once the print
    // server reports their job completed (ReceiptLedger::followOut looks
    // between passes). When the printer cannot be opened or the server does
    // not answer, nothing prints and every row stays.
    // An exception from the library abandons the job unprinted and reaches
    // the caller.
    PosPassReport processPosCommands(const QString &sPrinterName);

    // The jobs out, looked at between passes: the rows of those printed
    // leave the queue at once.
    LedgerFollow followJobs();
    int jobsOut() const { return m_ledger.jobsOut(); }

    // Cancels the held jobs this station's passes left on sPrinterName (""
    // for the default printer): a launcher that ended in mid-job leaves its
    // job held, never printed, while its rows stay queued. Call it once
    // before the first pass, on the thread that runs the passes or while
    // none runs. Jobs of other stations and other programs stay.
    LeftoverReport cancelHeldLeftovers(const QString &sPrinterName);

    // Whether the station has rows waiting; nullopt when the library could
    // not tell. A cheap look before a pass is tried again.
    std::optional<bool> rowsWaiting();
    // Whether the printer can be opened now (nothing is printed).
    bool printerReachable(const QString &sPrinterName);
private:
    struct Row {
        QString id;
        double device = 0;
        QString command;
        QString mark;
    };
    // One count of the station's rows ("waiting"), by the query made from
    // the station id; nullopt when the library could not tell.
    std::optional<int> count(QString (*query)(const QString &));
    // Writes the rows' pages into the open document.
    void writeRows(const QList<Row> &rows, PosPassReport &report);
    // Opens the printer for a job, builds its document and hands it over.
    bool sendJob(const QString &stationId, LedgerJob &job, const QList<Row> &rows, PosPassReport &report);

    DraldbClient &m_draldb;
    const qint32 &m_libraryConnection;
    platform::Spooler &m_spooler;
    EscposChannel m_channel;
    ReceiptLedger m_ledger;
    std::function<void(bool)> m_busy;
    // Makes this run's job names unique among those of other runs.
    const QString m_runToken;
    int m_jobs = 0;
};

namespace poscommands {

// The start of every job name of this station's passes: "Korvantis POS #"
// and the station id, then a blank; a pass's job adds a token unique to the
// run and the job.
QString jobNamePrefix(const QString &sStationId);

// Devices of the queue the launcher handles.
inline constexpr int kReceiptPrinter = 1;
inline constexpr int kCashDrawer = 2;

// The query for one station's rows of the handled devices, oldest first. The
// station id is put in as it is; the pass hands it only a whole number.
QString queueQuery(const QString &sStationId);

// How many rows the same query would give, as one column "waiting": a cheap
// look before the printer is opened for nothing.
QString waitingCountQuery(const QString &sStationId);

// The receipt text with every ESC "|fP" (feed and cut, as the front-end's
// printer escape language writes it) turned into the printer's own cut
// command GS V 66 0. The text equals its input exactly when there was none.
QString replaceFeedAndCut(const QString &sCommand);

// The numeric value of a text, read as the system reads numbers: leading
// blanks skipped, an optional sign, digits with at most one decimal point,
// up to the first other character; 0 when there are no digits. "02", " 2"
// and "2.0" are all 2, "2.5" is not.
double numericValue(const QString &sText);

} // namespace poscommands
} // namespace kv
