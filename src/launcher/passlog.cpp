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

void FindingsLog::write(const LibraryFindings &found)
{
    if (found.leftovers && (found.leftovers->cancelled > 0 || !found.leftovers->failure.isEmpty()))
        m_log.log(found.leftovers->failure.isEmpty() ? LogPriority::Notice : LogPriority::Warning,
                  QStringLiteral("held jobs an earlier run left half sent on \"%1\": %2 cancelled%3")
                      .arg(found.leftovers->printerName)
                      .arg(found.leftovers->cancelled)
                      .arg(found.leftovers->failure.isEmpty() ? QString()
                                                              : QStringLiteral("; ") + found.leftovers->failure));
    if (found.follow && found.follow->failure != m_followFailure) {
        // Said once, and once more when it is over.
        m_followFailure = found.follow->failure;
        m_log.log(m_followFailure.isEmpty() ? LogPriority::Notice : LogPriority::Warning,
                  m_followFailure.isEmpty() ? QStringLiteral("POS: the print server answers about its jobs again")
                                            : QStringLiteral("POS: ") + m_followFailure);
    }
    if (found.follow && found.follow->rowsDeleted > 0)
        m_log.debug(QStringLiteral("POS: %1 rows of printed jobs deleted, %2 jobs still out")
                        .arg(found.follow->rowsDeleted)
                        .arg(found.follow->jobsOut));
    if (found.pass) {
        writePass(*found.pass, found.cause);
    } else if (found.rowsMayWait && !(*found.rowsMayWait && m_waitLogged)) {
        m_log.debug(*found.rowsMayWait ? QStringLiteral("POS retry: the printer is still away")
                                       : QStringLiteral("POS retry: no rows wait any more"));
        m_waitLogged = *found.rowsMayWait;
    }
}

void FindingsLog::writePass(const PosPassReport &pass, PassCause cause)
{
    const bool own = cause != PassCause::Notification;
    const bool failed = !pass.failure.isEmpty();
    // Every notified pass is a sale and is logged; the launcher's own passes
    // say why rows wait once, not at every retry of a long outage.
    // A pass of its own that only found the printer still printing the last
    // job is no news.
    const bool onlyWaited = own && !failed && pass.receipts + pass.drawerPulses + pass.rowsDeleted == 0 &&
                            pass.rowsAwaitingPaper > 0;
    if (onlyWaited)
        m_log.debug(passLogLine(pass, cause));
    else if (!(own && failed && m_waitLogged))
        m_log.log(failed || !pass.printerSays.isEmpty() ? LogPriority::Warning : LogPriority::Info,
                  passLogLine(pass, cause));
    m_waitLogged = pass.rowsLeftQueued;
}

} // namespace kv
