// The tick's work with the client library, off the window thread: taking a
// notification, listening again, and passes over the POS queue, any of which
// can wait seconds on a database or print server that does not answer. The
// tick that is due hands a job over; a later tick takes what it found and
// acts on it.
//
// Besides the pass a "poscommands" notification asks for, a job runs one on
// its own when no notification could have told of waiting rows:
//  - once the launcher has started and listens (rows queued while no launcher
//    ran, or left by the one before, were notified to nobody), after the
//    jobs an earlier run left held and half sent are cancelled;
//  - after the library has reconnected and listened again (what was notified
//    meanwhile never comes);
//  - while rows stay queued after a pass that could not print them, or wait
//    for their job to complete before they are deleted, at most
//    kRetryIntervalMs apart, each time first looking whether the printer can
//    be opened and rows still wait, so that a long outage costs little;
//  - after the periodic re-listen, when rows wait.
#pragma once

#include "config/vbDraldb.h"
#include "core/clock.h"
#include "core/worker.h"
#include "escpos/printjournal.h"
#include "escpos/vbPosCommands.h"
#include "platform/spooler.h"

#include <QString>
#include <QStringList>

#include <exception>
#include <optional>

namespace kv {

// Why a pass ran.
enum class PassCause { Notification, StartUp, Reconnect, Retry, Relisten };

// What one job found, for the tick to act on.
struct LibraryFindings {
    // The notification taken; "" when none was pending.
    QString notification;
    std::optional<PosPassReport> pass;
    PassCause cause = PassCause::Notification;
    // A run-time error that ended the job.
    std::exception_ptr error;
    // A retry that looked and ran no pass: whether rows may still wait.
    std::optional<bool> rowsMayWait;
    // At start-up: the held jobs an earlier run left half sent, cancelled.
    std::optional<LeftoverReport> leftovers;
};

class LibraryJobs {
public:
    static constexpr qint64 kRetryIntervalMs = 4000;

    // libraryConnection and the journal belong to the caller and outlive
    // this object.
    LibraryJobs(DraldbClient &draldb, const qint32 &libraryConnection, platform::Spooler &spooler,
                PrintJournal &journal, const Clock &clock, Worker &worker);
    // Waits for a job still running: it uses this object.
    ~LibraryJobs();
    LibraryJobs(const LibraryJobs &) = delete;
    LibraryJobs &operator=(const LibraryJobs &) = delete;

    void setBusyHook(std::function<void(bool)> hook) { m_queue.setBusyHook(std::move(hook)); }

    bool busy() const { return m_worker.busy(); }
    // What the last job found, once it has ended; nullopt while it runs or
    // when it was taken already.
    std::optional<LibraryFindings> takeFindings();
    // Hands the next job over: listen again on `channels` first when given,
    // then take one notification and run a pass when one is due. sPrinterName
    // is the receipt printer. False while a job runs or findings wait, and
    // when there is nothing to do (no retry or listens due, nothing arrived).
    bool startJob(const QString &sPrinterName, const QStringList &channels);

    // Rows are left queued by a pass that could not print them.
    bool retryPending() const { return m_retryPending; }
    // The library listens now: the next job runs a pass whatever was notified.
    void requestStartUpPass() { m_startUpDue = true; }

private:
    void runJob(const QString &sPrinterName, const QStringList &channels, bool retryDue, bool startUp);

    DraldbClient &m_draldb;
    const qint32 &m_libraryConnection;
    PosCommandQueue m_queue;
    const Clock &m_clock;
    Worker &m_worker;
    // The job's own; the window thread reads them only while no job runs.
    std::optional<LibraryFindings> m_findings;
    qint32 m_relistensSeen = 0;
    // The window thread's.
    bool m_startUpDue = false;
    bool m_retryPending = false;
    qint64 m_retryAtMs = 0;
};

} // namespace kv
