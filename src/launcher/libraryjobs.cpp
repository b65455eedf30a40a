#include "launcher/libraryjobs.h"

namespace kv {

LibraryJobs::LibraryJobs(DraldbClient &draldb, const qint32 &libraryConnection, platform::Spooler &spooler,
                         const Clock &clock, Worker &worker)
    : m_draldb(draldb), m_libraryConnection(libraryConnection), m_queue(draldb, libraryConnection, spooler),
      m_clock(clock), m_worker(worker)
{
}

LibraryJobs::~LibraryJobs()
{
    // Bounded by the library's and the print server's own deadlines.
    m_worker.waitIdle(60'000);
}

std::optional<LibraryFindings> LibraryJobs::takeFindings()
{
    if (busy() || m_findings.empty())
        return std::nullopt;
    std::optional<LibraryFindings> findings = std::move(m_findings.front());
    m_findings.pop_front();
    const bool wasPending = m_retryPending;
    if (findings->error)
        m_retryPending = true;
    else if (findings->pass)
        m_retryPending = findings->pass->wantsAnotherPass();
    else if (findings->cause == PassCause::Retry && findings->rowsMayWait)
        m_retryPending = *findings->rowsMayWait;
    if (m_retryPending && !wasPending)
        m_retryAtMs = m_clock.monotonicMs() + kRetryIntervalMs;
    // The first look is due at once: this tick is the first after the job
    // was handed over, and a receipt is on paper within a second or so.
    const bool wasFollowing = m_followPending;
    m_followPending = findings->jobsOut > 0;
    if (m_followPending && !wasFollowing)
        m_followAtMs = m_clock.monotonicMs();
    return findings;
}

bool LibraryJobs::startJob(const QString &sPrinterName, const QStringList &channels, bool onlyWhenNotified)
{
    if (!acceptsJob() || (onlyWhenNotified && !m_draldb.draldb_pending(m_libraryConnection)))
        return false;
    const qint64 now = m_clock.monotonicMs();
    const bool retryDue = m_retryPending && now >= m_retryAtMs;
    const bool followDue = m_followPending && now >= m_followAtMs;
    // An idle till's tick costs a look at the library's socket, not a second
    // thread woken every second.
    const bool startUp = m_startUpDue;
    if (!startUp && !retryDue && !followDue && channels.isEmpty() && !m_draldb.draldb_pending(m_libraryConnection))
        return false;
    if (!m_worker.start([this, sPrinterName, channels, retryDue, startUp, followDue] {
            runJob(sPrinterName, channels, retryDue, startUp, followDue);
        }))
        return false;
    if (retryDue)
        m_retryAtMs = now + kRetryIntervalMs;
    if (followDue)
        m_followAtMs = now + kFollowIntervalMs;
    m_startUpDue = false;
    return true;
}

void LibraryJobs::runJob(const QString &sPrinterName, const QStringList &channels, bool retryDue, bool startUp,
                         bool followDue)
{
    LibraryFindings found;
    try {
        const qint32 connection = m_libraryConnection;
        for (const QString &channel : channels)
            m_draldb.VB_notify_listen(connection, channel);
        // Before the first pass: what an earlier run left held never prints.
        if (startUp) {
            found.leftovers = m_queue.cancelHeldLeftovers(sPrinterName);
        }
        // Everything that has arrived: one pass serves every "poscommands"
        // among it, as each pass reads the whole queue.
        for (int taken = 0; taken < kMostNotificationsPerJob; ++taken) {
            const QString name = m_draldb.VB_notify_check(connection);
            if (name.isEmpty())
                break;
            found.notifications.append(name);
        }
        const qint32 relistens = m_draldb.draldb_relistens(connection);
        const bool reconnected = relistens != m_relistensSeen;
        m_relistensSeen = relistens;
        if (found.notifications.contains(QStringLiteral("poscommands"))) {
            found.pass = m_queue.processPosCommands(sPrinterName);
        } else if (startUp) {
            found.cause = PassCause::StartUp;
            if (m_queue.rowsWaiting().value_or(true))
                found.pass = m_queue.processPosCommands(sPrinterName);
        } else if (reconnected) {
            found.cause = PassCause::Reconnect;
            found.pass = m_queue.processPosCommands(sPrinterName);
        } else if (retryDue) {
            found.cause = PassCause::Retry;
            // Unknown counts as waiting: only a look that sees an empty queue
            // ends the retries.
            found.rowsMayWait = true;
            if (m_queue.printerReachable(sPrinterName)) {
                found.rowsMayWait = m_queue.rowsWaiting().value_or(true);
                if (*found.rowsMayWait)
                    found.pass = m_queue.processPosCommands(sPrinterName);
            }
        } else if (!channels.isEmpty()) {
            found.cause = PassCause::Relisten;
            if (m_queue.rowsWaiting().value_or(false))
                found.pass = m_queue.processPosCommands(sPrinterName);
        }
        // The jobs out a pass did not just look at: a receipt on paper
        // leaves the queue now, one lost or cancelled goes again now.
        if (!found.pass && followDue) {
            found.follow = m_queue.followJobs();
            if (found.follow->passDue) {
                found.cause = PassCause::Resend;
                found.pass = m_queue.processPosCommands(sPrinterName);
            }
        }
        found.jobsOut = m_queue.jobsOut();
    } catch (...) {
        found.error = std::current_exception();
    }
    m_findings.push_back(std::move(found));
    if (m_jobEnded)
        m_jobEnded();
}

int LibraryJobs::notificationSocket() const
{
    if (busy() || m_libraryConnection == 0)
        return -1;
    return m_draldb.draldb_socket(m_libraryConnection);
}

} // namespace kv
