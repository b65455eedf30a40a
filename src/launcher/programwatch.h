// What the loop waits on for the station's programs: each running program's
// pipe (or, for a front-end taken over from an earlier launcher, its process
// descriptor), which turns ready when the program writes or ends. The loop
// then sleeps while the programs say nothing, instead of polling them every
// second.
//
// A watch that fires is switched off with all the others until the loop's
// next pass has read the programs and calls follow() again: a program at its
// end, or one that writes without pause, wakes the loop once per pass, and
// the loop spaces those passes (a busy program's output stays bounded per
// pass, as the pass reads at most clsProcess::kReadSize of it).
#pragma once

#include "programs/vbManagedPrograms.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <vector>

namespace kv {

class ProgramWatch final : public QObject {
public:
    explicit ProgramWatch(std::function<void()> woken, QObject *parent = nullptr);
    ~ProgramWatch() override;
    ProgramWatch(const ProgramWatch &) = delete;
    ProgramWatch &operator=(const ProgramWatch &) = delete;

    // Watches what runs now of `programs`, every watch switched on again.
    // True when one of them runs with nothing to wait on: the loop then
    // looks at it every second, as it looked at every program before.
    bool follow(const std::vector<ManagedProgram> &programs);
    // Nothing is watched any more.
    void clear();
    // A program wrote or ended since the pass began (passBegins).
    bool woke() const { return m_woke; }
    void passBegins() { m_woke = false; }
    // The last follow() found a program with nothing to wait on.
    bool polled() const { return m_polled; }

private:
    struct Watch {
        const clsProcess *runner = nullptr;
        quint64 run = 0;
        std::intptr_t handle = -1;
        QObject *notifier = nullptr;
    };
    void fired();
    static void enable(QObject *notifier, bool on);
    void drop(Watch &watch);

    std::function<void()> m_woken;
    std::vector<Watch> m_watches;
    bool m_woke = false;
    bool m_polled = false;
};

} // namespace kv
