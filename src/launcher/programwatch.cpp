#include "launcher/programwatch.h"

#include "platform/process.h"

#include <algorithm>
#include <utility>

#ifdef Q_OS_WIN
#include <QWinEventNotifier>
#include <qt_windows.h>
#else
#include <QSocketNotifier>
#endif

namespace kv {

ProgramWatch::ProgramWatch(std::function<void()> woken, QObject *parent)
    : QObject(parent), m_woken(std::move(woken))
{
}

ProgramWatch::~ProgramWatch()
{
    clear();
}

void ProgramWatch::drop(Watch &watch)
{
    delete std::exchange(watch.notifier, nullptr);
    platform::closeWaitHandle(std::exchange(watch.handle, platform::Child::kNoWaitHandle));
}

void ProgramWatch::clear()
{
    for (Watch &watch : m_watches)
        drop(watch);
    m_watches.clear();
}

void ProgramWatch::enable(QObject *notifier, bool on)
{
#ifdef Q_OS_WIN
    static_cast<QWinEventNotifier *>(notifier)->setEnabled(on);
#else
    static_cast<QSocketNotifier *>(notifier)->setEnabled(on);
#endif
}

void ProgramWatch::fired()
{
    for (const Watch &watch : m_watches) {
        if (watch.notifier)
            enable(watch.notifier, false);
    }
    m_woke = true;
    m_woken();
}

bool ProgramWatch::follow(const std::vector<ManagedProgram> &programs)
{
    bool polled = false;
    std::vector<Watch> kept;
    for (const ManagedProgram &entry : programs) {
        const clsProcess *runner = entry.process.get();
        if (!runner || !runner->pReady)
            continue;
        // The same run keeps its watch; the handle of a run that ended is
        // given back below.
        const auto same = std::find_if(m_watches.begin(), m_watches.end(), [&](const Watch &w) {
            return w.runner == runner && w.run == runner->runNumber() && w.notifier;
        });
        if (same != m_watches.end()) {
            kept.push_back(std::exchange(*same, Watch{}));
            enable(kept.back().notifier, true);
            continue;
        }
        Watch watch{runner, runner->runNumber(), runner->newWaitHandle(), nullptr};
        if (watch.handle == platform::Child::kNoWaitHandle) {
            polled = true;
            continue;
        }
#ifdef Q_OS_WIN
        auto *notifier = new QWinEventNotifier(reinterpret_cast<HANDLE>(watch.handle), this);
        connect(notifier, &QWinEventNotifier::activated, this, &ProgramWatch::fired);
#else
        auto *notifier = new QSocketNotifier(qintptr(watch.handle), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &ProgramWatch::fired);
#endif
        watch.notifier = notifier;
        kept.push_back(watch);
    }
    for (Watch &watch : m_watches)
        drop(watch);
    m_watches = std::move(kept);
    m_polled = polled;
    return polled;
}

} // namespace kv
