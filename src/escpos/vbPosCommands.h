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
    // Set when the pass first asked about such a job of an earlier pass:
    // Taken (its rows count as printed and are deleted unprinted), NotTaken
    // (they print now; a held rest of it was cancelled) or Unknown (no
    // answer: nothing printed, the rows stay).
    std::optional<platform::JobFate> earlierJobFate;
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
    // printer). Once the print server has taken the job, the rows' ids go
    // into the journal and the rows are deleted in the order they were read;
    // rows the journal already names are deleted without being printed.
    // When the printer cannot be opened or the job is not taken, every row
    // stays queued. An exception from the library abandons the job
    // unprinted, frees the result set and reaches the caller.
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
    // A job whose print server did not say whether it took it, and the ids
    // of the rows it held.
    struct Unsettled {
        platform::JobRef job;
        QSet<QString> ids;
    };
    // Appends the rows read, in order, to `rows`.
    void printRows(qint32 resultSet, qint32 numRecords, QList<ReadRow> &rows, PosPassReport &report);
    void deleteRows(qint32 resultSet, const QList<ReadRow> &rows, PosPassReport &report);
    // Asks about m_unsettled; false when nothing may print yet.
    bool settleEarlierJob(PosPassReport &report);
    // Keeps the job just closed or abandoned when its fate is Unknown.
    void keepIfUnsettled(const QList<ReadRow> &rows, PosPassReport &report);

    DraldbClient &m_draldb;
    const qint32 &m_libraryConnection;
    platform::Spooler &m_spooler;
    EscposChannel m_channel;
    PrintJournal &m_journal;
    std::function<void(bool)> m_busy;
    // The pass's own: passes run one at a time, on one thread.
    std::optional<Unsettled> m_unsettled;
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
