// The POS command queue: the rows other parts of the system put into
// "poscommands" for this station become receipts and a drawer pulse on the
// receipt printer, and leave the queue. The database is reached only through
// the client library, the printer only through a printer channel.
#pragma once

#include "config/vbConfig.h"
#include "config/vbDraldb.h"
#include "escpos/printjournal.h"
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
    // Journalled rows: printed by an earlier pass, deleted now unprinted.
    int alreadyPrinted = 0;
    bool printerOpened = false;
    // The print server took the whole job.
    bool jobAccepted = false;
    int rowsDeleted = 0;
    // The printer the pass used: the default printer's name when it was
    // handed none.
    QString printerName;
    // Rows of this pass may still be queued: the printer could not be
    // opened, the job was not taken, the query or a delete failed.
    bool rowsLeftQueued = false;
    // Why, for a person to read; "" when the pass did all it should.
    QString failure;
    qint64 elapsedMs = 0;
    // The name of the pass's print job on the print server.
    QString jobName;
    // Why the printer does not print, in words ("out of paper" ...), as its
    // queue said when the pass opened it: receipts the server took wait
    // there until the printer is back.
    QStringList printerSays;
    // The print server did not answer whether it took this pass's job: its
    // rows stay queued, and the next pass asks about the job before it
    // prints them again.
    bool jobFateUnknown = false;
    // Set when the pass asked about such a job of an earlier pass: Taken
    // (it prints or has printed: its rows wait for it), NotTaken (they
    // print now; a held rest of it was cancelled) or Unknown (no answer:
    // nothing printed, the rows stay).
    std::optional<platform::JobFate> earlierJobFate;
    // Rows that stay queued because a job the print server has not yet
    // reported completed holds them (this pass's or an earlier one's): no
    // pass prints them while that job lives, and the first pass after it has
    // completed deletes them.
    int rowsAwaitingPaper = 0;

    // Another pass is due soon: rows stay queued for want of a printer or
    // a server, or wait for a job to complete before they can be deleted.
    bool wantsAnotherPass() const { return rowsLeftQueued || rowsAwaitingPaper > 0; }
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
// build their own around a fake or the real library and spooler. Nothing in
// it touches a window: the launcher runs its passes off the window thread
// and tells the person what the report says.
class PosCommandQueue {
public:
    // libraryConnection is the owner's variable, read at every pass: start-up
    // may open the library connection after this object exists. The queue
    // prints through a channel of its own on `spooler`.
    PosCommandQueue(DraldbClient &draldb, const qint32 &libraryConnection, platform::Spooler &spooler,
                    PrintJournal &journal);

    // Called with true as a pass begins and false as it ends, from the
    // thread that runs the pass.
    void setBusyHook(std::function<void(bool)> hook) { m_busy = std::move(hook); }

    // One pass over the station's queue: every row read is printed (device
    // 1), pulses the drawer at most once (device 2), or is dropped (any other
    // device), all in one print job on sPrinterName ("" for the default
    // printer). The rows leave the queue only once the print server reports
    // that job completed, not when it takes the job: until then the journal
    // names the job and its rows, and every pass (of this run or the next)
    // first asks the server about each job the journal names: the rows of
    // a completed one are deleted unprinted, those of one still to print
    // are left alone, and those of one the server no longer has (lost in a
    // power cut) print again. This departs on purpose from deleting the
    // rows once the print server has taken the job: a server as installed
    // writes its jobs to disk only now and then (CUPS: every
    // DirtyCleanInterval, 30 s by default), so a power cut soon after the
    // hand-over would lose the receipts with the rows already gone. When the
    // printer cannot be opened, the job is not taken or the server does not
    // answer, every row stays queued.
    // An exception from the library abandons the job unprinted, frees the
    // result set and reaches the caller.
    PosPassReport processPosCommands(const QString &sPrinterName);

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
    struct ReadRow {
        qint32 handle = 0;
        QString id;
    };
    // What the pass did with the rows it read.
    struct PassRows {
        // Every id read.
        QSet<QString> seen;
        // On paper by an earlier job: deleted unprinted.
        QList<ReadRow> printed;
        // Printed into this pass's job, in order: deleted once on paper.
        QList<ReadRow> inJob;
        // The job is in the journal.
        bool journalled = false;
    };
    static QStringList idsOf(const QList<ReadRow> &rows);
    // Asks the print server about every job the journal names (see
    // processPosCommands); `held` gets the rows of jobs still to print,
    // `resend` the first job the server will never print, whose rows alone
    // this pass prints again. False when the server did not answer: nothing
    // may print then.
    bool followJobs(QSet<QString> &held, std::optional<PrintJournal::Job> &resend, PosPassReport &report);
    // Prints the rows read that are neither on paper nor held; with `only`,
    // just those of these ids.
    void printRows(qint32 resultSet, qint32 numRecords, const QSet<QString> &held, const QStringList *only,
                   PassRows &rows, PosPassReport &report);
    // Journals the job, lets it go, and keeps in rows.inJob only what is to
    // be deleted now.
    void handOver(PassRows &rows, PosPassReport &report);
    void deleteRows(qint32 resultSet, const PassRows &rows, PosPassReport &report);

    DraldbClient &m_draldb;
    const qint32 &m_libraryConnection;
    platform::Spooler &m_spooler;
    EscposChannel m_channel;
    PrintJournal &m_journal;
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
