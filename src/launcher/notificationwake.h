// The loop's wake for a notification (the loop sleeps until something is
// due: vbMain.h). A receipt is waited for by the cashier and the customer, so
// its notification does not wait for any pass: the library connection's
// socket wakes the window thread when anything arrives, and a job takes it at
// once. What arrives while that job
// runs, or within kWakeGapMs of its start, is taken by one job after it.
// Everything else keeps to the loop's passes: the tick's count and checks,
// supervision, the front-end's end, and acting on what the jobs found (the
// log, the printer's box, the shutdown question): a job's start and end ask
// the loop for its next tick (Needs::busyChanged).
//
// This class hands every library job over, the passes' and the wake's, so
// that the gap and the re-listen hold for both; it lives on the window thread.
#pragma once

#include "launcher/libraryjobs.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

namespace kv {

class NotificationWake final : public QObject {
    Q_OBJECT

public:
    // When the worker is not idle yet after a job's last line (microseconds
    // later, normally), the window thread looks again after this.
    static constexpr int kJobEndRetryMs = 5;
    // A notification that arrives this soon after a job was handed over
    // waits for the rest of it: a busy minute's sales (or a burst of them)
    // are taken by a few passes, not one per sale.
    static constexpr int kWakeGapMs = 150;

    struct Needs {
        // The launcher runs and prints receipts: the socket is worth a wake.
        std::function<bool()> receiving;
        // A pass is under way; it hands over a job itself and wakes this at
        // its end.
        std::function<bool()> passUnderWay;
        // The receipt printer a job prints on.
        std::function<QString()> printer;
        // Listened on again by the next job after relistenDue.
        QStringList channels;
        // The worker started or ended a job, told on the window thread.
        std::function<void(bool)> busyChanged = [](bool) {};
    };

    NotificationWake(LibraryJobs &library, Needs needs, QObject *parent = nullptr);
    ~NotificationWake() override;

    // Hands the next job over, with the listens when they are due. False when
    // no job was handed over.
    bool handOver(bool onlyWhenNotified = false);
    // The four listens are due again: the next job sends them.
    void relistenDue() { m_relistenDue = true; }
    // A job for what arrived, when none runs and the gap is over; then the
    // socket is watched again.
    void wake();
    // Watches the library's socket while no job runs (a job reads it
    // itself), on the socket the library has now.
    void arm();
    // The launcher ends: nothing wakes it any more.
    void stop();
    // A notification that arrives now waits for the gap's end.
    bool gapRunning() const { return m_gap.isActive(); }

private:
    void onNotificationArrived();
    void onJobEnded();

    struct Relay;

    LibraryJobs &m_library;
    Needs m_needs;
    std::shared_ptr<Relay> m_relay;
    bool m_relistenDue = false;
    // Runs from each job handed over; while it runs a notification does not
    // start a job of its own (its end looks again).
    QTimer m_gap;
    // Null while a job runs or the library has no socket.
    QSocketNotifier *m_notifier = nullptr;
    int m_socket = -1;
};

} // namespace kv
