// The life of a receipt job, from the rows it was built of to the paper, and
// the one place that keeps it. The record is the rows themselves: before a
// job may print, its rows carry its mark (poscommands.printjob: the print
// server's number for the job, its printer and its name), and they leave the
// queue only once the print server reports the job completed, which the
// escpos backend does only when the printer has confirmed every receipt.
//
// Why the rows and not a file beside the launcher: the database outlives the
// till. A power cut, a full disk or a damaged file at the till cannot lose
// the record, and a job that cannot be recorded is never let go, so nothing
// prints that the record does not know. This departs on purpose from a
// queue whose rows are deleted as they are printed: a print server as
// installed writes its jobs to disk only now and then (CUPS: every
// DirtyCleanInterval, 30 s), so a till that dies soon after the hand-over
// would lose the receipts with their rows already gone.
//
// The states of a job and the one durable write each transition makes:
//   Built       the document is at the print server, held (nothing written)
//   Recorded    its rows carry its mark            UPDATE ... SET printjob
//   HandedOver  the print server may print it      (the server's release)
//   Printed     completed: on paper                DELETE ... WHERE printjob
//   Lost        the server no longer knows it (a power cut), or it was held
//               and has been cancelled now
//   Cancelled   cancelled or aborted at the server: what the printer
//               confirmed is on paper, the rest is not
//   Unanswered  the server did not say
// A Lost or Cancelled job goes again under its own name with the same bytes,
// recorded anew under its new number; the escpos backend keeps what the
// printer confirmed of a job by its name and document and sends only the
// rest, so a receipt on paper is never printed again. A mark that is no
// job's of this launcher is named in the log and its rows print again: a
// damaged record is never a reason to delete a row.
#pragma once

#include "station/vbDraldb.h"
#include "escpos/vbEscpos.h"
#include "platform/spooler.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace kv {

// One job and the rows it holds.
struct LedgerJob {
    QString name;
    QString printer;
    // The print server's number for it; 0 before it has one.
    int id = 0;
    // The ids of its rows, in the order they are printed.
    QStringList rows;
};

enum class LedgerState { Built, Recorded, HandedOver, Printed, Lost, Cancelled, Unanswered };

// What following the jobs out did, for the tick and the log.
struct LedgerFollow {
    // Rows deleted because their job was seen printed.
    int rowsDeleted = 0;
    // A job came back lost or cancelled: a pass is due to send it again.
    bool passDue = false;
    // Jobs still out, waiting for their paper.
    int jobsOut = 0;
    QString failure;
};

class ReceiptLedger {
public:
    // libraryConnection is the owner's variable, read at every statement.
    ReceiptLedger(DraldbClient &draldb, const qint32 &libraryConnection, platform::Spooler &spooler);

    // The mark the rows of `job` carry: "<number> <printer> <name>" (a
    // printer's name holds no blank).
    static QString markOf(const LedgerJob &job);
    // The job a mark names, without its rows; nullopt when it is none of ours.
    static std::optional<LedgerJob> jobOfMark(const QString &mark);

    // Built -> Recorded -> HandedOver: the channel's document (named
    // job.name, every byte written) is finished held, recorded under the
    // server's number, and let go. Built, with `error`, when it failed
    // before the record: nothing prints (a held rest is cancelled) and the
    // rows stay as they were. Recorded, with `error`, when the release was
    // not answered: the record stands and a later look settles the job.
    LedgerState handOver(EscposChannel &channel, const QString &stationId, LedgerJob &job, QString &error);

    // Where a recorded job stands. A job the server still holds (its sender
    // died between the record and the release) is cancelled: Lost.
    LedgerState follow(const LedgerJob &job);
    // Printed: its rows leave the queue. False with `error` when the delete
    // did not get through (the mark stays, and the next look tries again).
    bool complete(const QString &stationId, const LedgerJob &job, QString &error);

    // Jobs let go by this run and not yet seen printed, for a cheap look
    // between passes. A pass that finds a job of an earlier run waiting
    // adds it.
    void watch(const LedgerJob &job);
    void unwatch(const LedgerJob &job);
    int jobsOut() const { return int(m_out.size()); }
    // Follows every job out: the rows of those printed are deleted at once.
    LedgerFollow followOut(const QString &stationId);

    // Asks again about the jobs this run gave up before their record (an
    // answer missed, a request cut off): the server may have made one
    // after all, late, and such a one is cancelled while held, never let go.
    void sweepAbandoned();

private:
    // A job given up before its record, known by its name (its number may
    // never have reached us), and how many more looks it gets.
    struct Abandoned {
        platform::JobRef ref;
        int looksLeft = 3;
    };
    bool run(const QString &sql, QString &error);
    void abandon(const platform::JobRef &job);

    DraldbClient &m_draldb;
    const qint32 &m_libraryConnection;
    platform::Spooler &m_spooler;
    QList<LedgerJob> m_out;
    QList<Abandoned> m_abandoned;
};

} // namespace kv
