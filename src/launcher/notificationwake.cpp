#include "launcher/notificationwake.h"

#include <mutex>
#include <utility>

namespace kv {

// The jobs run on the library worker; the wake and the hourglass are the
// window thread's. The worker may outlive this object by a job, so it asks
// through this.
struct NotificationWake::Relay {
    std::mutex lock;
    NotificationWake *wake = nullptr;
};

NotificationWake::NotificationWake(LibraryJobs &library, Needs needs, QObject *parent)
    : QObject(parent), m_library(library), m_needs(std::move(needs)), m_relay(std::make_shared<Relay>())
{
    m_gap.setSingleShot(true);
    connect(&m_gap, &QTimer::timeout, this, &NotificationWake::wake);
    m_relay->wake = this;
    m_library.setBusyHook([relay = m_relay](bool busy) {
        std::lock_guard guard(relay->lock);
        if (NotificationWake *w = relay->wake)
            QMetaObject::invokeMethod(w, [w, busy] { w->m_needs.busyChanged(busy); }, Qt::QueuedConnection);
    });
    m_library.setJobEndHook([relay = m_relay] {
        std::lock_guard guard(relay->lock);
        if (NotificationWake *w = relay->wake)
            QMetaObject::invokeMethod(w, [w] { w->onJobEnded(); }, Qt::QueuedConnection);
    });
}

NotificationWake::~NotificationWake()
{
    std::lock_guard guard(m_relay->lock);
    m_relay->wake = nullptr;
}

bool NotificationWake::handOver(bool onlyWhenNotified)
{
    const bool relisten = m_relistenDue && m_library.connected();
    if (!m_library.startJob(m_needs.printer(), relisten ? m_needs.channels : QStringList(), onlyWhenNotified))
        return false;
    m_gap.start(kWakeGapMs);
    m_relistenDue = m_relistenDue && !relisten;
    return true;
}

void NotificationWake::onNotificationArrived()
{
    if (m_notifier)
        m_notifier->setEnabled(false);
    wake();
}

void NotificationWake::onJobEnded()
{
    // Queued from the job's last lines: the worker is idle a moment later,
    // later still on a busy machine. Looked at again rather than waited for.
    if (m_library.busy()) {
        QTimer::singleShot(kJobEndRetryMs, this, &NotificationWake::onJobEnded);
        return;
    }
    wake();
}

void NotificationWake::wake()
{
    // A pass under way comes back here at its end.
    if (!m_needs.receiving() || m_needs.passUnderWay() || m_gap.isActive())
        return;
    // Only for what arrived: retries, listens and the rest keep to the passes.
    if (!m_library.busy())
        handOver(true);
    arm();
}

void NotificationWake::arm()
{
    // While a job runs it reads the socket itself, and a reconnect may give
    // the library another one: asked again whenever no job runs.
    const int socket = m_needs.receiving() && m_library.acceptsJob() ? m_library.notificationSocket() : -1;
    if (m_notifier && socket != m_socket)
        std::exchange(m_notifier, nullptr)->deleteLater();
    m_socket = socket;
    if (socket < 0)
        return;
    if (!m_notifier) {
        m_notifier = new QSocketNotifier(qintptr(socket), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &NotificationWake::onNotificationArrived);
    }
    m_notifier->setEnabled(true);
}

void NotificationWake::stop()
{
    if (m_notifier)
        std::exchange(m_notifier, nullptr)->deleteLater();
    m_socket = -1;
}

} // namespace kv
