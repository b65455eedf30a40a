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
    // The rows read, in order.
    QList<ReadRow> printRows(qint32 resultSet, qint32 numRecords, PosPassReport &report);
    void deleteRows(qint32 resultSet, const QList<ReadRow> &rows, PosPassReport &report);

    DraldbClient &m_draldb;
    const qint32 &m_libraryConnection;
    platform::Spooler &m_spooler;
    EscposChannel m_channel;
    PrintJournal &m_journal;
    std::function<void(bool)> m_busy;
};

namespace poscommands {

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
