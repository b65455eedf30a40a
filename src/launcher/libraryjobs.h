// The tick's work with the client library, off the window thread: taking
// notifications, listening again, and passes over the POS queue, any of which
// can wait seconds on a database or print server that does not answer. A job
// is handed over by the tick that is due, or at once when the library's
// socket shows that a notification arrived; a later tick takes what it found
// and acts on it. A job takes every notification that has arrived and runs
// one pass for them all, so a burst that arrives while a pass runs costs one
// more pass, not one per notification.
//
// Besides the pass a "poscommands" notification asks for, a job runs one on
// its own when no notification could have told of waiting rows:
//  - once the launcher has started and listens (rows queued while no launcher
//    ran, or left by the one before, were notified to nobody), after the
//    jobs an earlier run left held and half sent are cancelled;
//  - after the library has reconnected and listened again (what was notified
//    meanwhile never comes);
//  - while rows stay queued after a pass that could not print them, at most
//    kRetryIntervalMs apart, each time first looking whether the printer can
//    be opened and rows still wait, so that a long outage costs little;
//  - when a job out that it follows came back lost or cancelled.
// While jobs are out, each tick (at most kFollowIntervalMs apart) asks the
// print server about them, so that a receipt's row leaves the queue within a
// second of its paper.
//  - after the periodic re-listen, when rows wait.
#pragma once

#include "station/vbDraldb.h"
#include "core/clock.h"
#include "core/worker.h"
#include "escpos/vbPosCommands.h"
#include "platform/spooler.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <exception>
#include <functional>
#include <optional>

namespace kv {

// Why a pass ran.
enum class PassCause { Notification, StartUp, Reconnect, Retry, Relisten, Resend };

// What one job found, for the tick to act on.
struct LibraryFindings {
    // The notifications taken, in the order they came; none when none was
    // pending.
    QStringList notifications;
    std::optional<PosPassReport> pass;
    PassCause cause = PassCause::Notification;
    // A run-time error that ended the job.
    std::exception_ptr error;
    // A retry that looked and ran no pass: whether rows may still wait.
    std::optional<bool> rowsMayWait;
    // At start-up: the held jobs an earlier run left half sent, cancelled.
    std::optional<LeftoverReport> leftovers;
    // The look at the jobs out, when one ran.
    std::optional<LedgerFollow> follow;
    // Jobs out after the job, waiting for their paper.
    int jobsOut = 0;
};

class LibraryJobs {
public:
    static constexpr qint64 kRetryIntervalMs = 4000;
    static constexpr qint64 kFollowIntervalMs = 500;
    // A job takes at most this many notifications: a sender that never stops
    // must not keep one job from ending.
    static constexpr int kMostNotificationsPerJob = 10000;
    // Jobs whose findings no tick has taken yet: no more are handed over.
    static constexpr std::size_t kMostFindingsWaiting = 32;

    // libraryConnection belongs to the caller and outlives this object.
    LibraryJobs(DraldbClient &draldb, const qint32 &libraryConnection, platform::Spooler &spooler,
                const Clock &clock, Worker &worker);
    // Waits for a job still running: it uses this object.
    ~LibraryJobs();
    LibraryJobs(const LibraryJobs &) = delete;
    LibraryJobs &operator=(const LibraryJobs &) = delete;

    void setBusyHook(std::function<void(bool)> hook) { m_queue.setBusyHook(std::move(hook)); }
    // Called on the worker as each job ends, just before the worker is idle.
    void setJobEndHook(std::function<void()> hook) { m_jobEnded = std::move(hook); }

    bool busy() const { return m_worker.busy(); }
    // The library has a connection to listen on.
    bool connected() const { return m_libraryConnection != 0; }
    // startJob may hand a job over now (it may still find nothing to do).
    bool acceptsJob() const { return !busy() && m_findings.size() < kMostFindingsWaiting; }
    // What the oldest job not yet taken found, once no job runs; nullopt
    // while one runs or when all were taken.
    std::optional<LibraryFindings> takeFindings();
    // Hands the next job over: listen again on `channels` first when given,
    // then take the notifications that arrived and run a pass when one is
    // due. sPrinterName is the receipt printer. False while a job runs or
    // too many findings wait, and when there is nothing to do (no retry or
    // listens due, nothing arrived). onlyWhenNotified: only when something
    // arrived (then also with what else is due).
    bool startJob(const QString &sPrinterName, const QStringList &channels, bool onlyWhenNotified = false);
    // The socket on which the library connection's notifications arrive, for
    // the loop to wait on; -1 while a job runs or the library has none.
    int notificationSocket() const;

    // Rows are left queued by a pass that could not print them.
    bool retryPending() const { return m_retryPending; }
    // For the loop's sleep: the next tick has work here (a job runs or its
    // findings wait, the start-up pass or a look at the jobs out is due).
    bool wantsNextTick() const { return busy() || !m_findings.empty() || m_startUpDue || m_followPending; }
    // When rows left queued are tried again; nothing when none wait.
    std::optional<qint64> retryDueMs() const
    {
        return m_retryPending ? std::optional<qint64>(m_retryAtMs) : std::nullopt;
    }
    // The library listens now: the next job runs a pass whatever was notified.
    void requestStartUpPass() { m_startUpDue = true; }

private:
    void runJob(const QString &sPrinterName, const QStringList &channels, bool retryDue, bool startUp,
                bool followDue);

    DraldbClient &m_draldb;
    const qint32 &m_libraryConnection;
    PosCommandQueue m_queue;
    const Clock &m_clock;
    Worker &m_worker;
    // The job's own; the window thread reads them only while no job runs.
    std::deque<LibraryFindings> m_findings;
    std::function<void()> m_jobEnded;
    qint32 m_relistensSeen = 0;
    // The window thread's.
    bool m_startUpDue = false;
    bool m_retryPending = false;
    qint64 m_retryAtMs = 0;
    // Jobs are out: the next look at them is due at m_followAtMs.
    bool m_followPending = false;
    qint64 m_followAtMs = 0;
};

} // namespace kv
