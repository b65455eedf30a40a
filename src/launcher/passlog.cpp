#include "launcher/passlog.h"

namespace kv {

QString passCauseText(PassCause cause)
{
    switch (cause) {
    case PassCause::Notification: return QStringLiteral("notified");
    case PassCause::StartUp: return QStringLiteral("at start-up");
    case PassCause::Reconnect: return QStringLiteral("after the client library reconnected");
    case PassCause::Retry: return QStringLiteral("retried");
    case PassCause::Relisten: return QStringLiteral("after listening again");
    case PassCause::Resend: return QStringLiteral("for a job lost or cancelled at the print server");
    }
    return QString();
}

QString passLogLine(const PosPassReport &pass, PassCause cause)
{
    QString line = QStringLiteral("POS pass (%1): %2 rows read, %3 receipts, %4 drawer pulses")
                       .arg(passCauseText(cause))
                       .arg(pass.rowsRead)
                       .arg(pass.receipts)
                       .arg(pass.drawerPulses);
    if (pass.alreadyPrinted > 0)
        line += QStringLiteral(", %1 printed before").arg(pass.alreadyPrinted);
    // Only a receipt or a drawer pulse makes a print job: a pass that found
    // nothing to print hands the print server nothing to take.
    const bool jobMade = pass.receipts > 0 || pass.drawerPulses > 0;
    if (!jobMade && pass.failure.isEmpty())
        line += QStringLiteral(", no job made");
    else
        line += pass.jobAccepted ? QStringLiteral(", job taken by \"%1\"").arg(pass.printerName)
                                 : QStringLiteral(", no job taken");
    if (pass.resent > 0)
        line += QStringLiteral(", %1 jobs lost or cancelled at the print server sent again").arg(pass.resent);
    if (pass.rowsAwaitingPaper > 0)
        line += QStringLiteral(", %1 rows kept until their job is printed").arg(pass.rowsAwaitingPaper);
    line += QStringLiteral(", %1 rows deleted, %2 ms").arg(pass.rowsDeleted).arg(pass.elapsedMs);
    if (!pass.printerSays.isEmpty())
        line += QStringLiteral("; the printer \"%1\" reports: %2, receipts wait at the print server")
                    .arg(pass.printerName, pass.printerSays.join(QStringLiteral(", ")));
    if (!pass.damagedMarks.isEmpty())
        line += QStringLiteral("; rows marked \"%1\", which names no print job of this launcher, printed again")
                    .arg(pass.damagedMarks.join(QStringLiteral("\", \"")));
    if (!pass.failure.isEmpty())
        line += (pass.rowsLeftQueued ? QStringLiteral("; rows stay queued: ") : QStringLiteral("; ")) + pass.failure;
    return line;
}

} // namespace kv
