// The station's programs: loaded from the database, started, watched each
// tick, restarted after they end, stopped on the way out. Entry 0 is always
// the front-end, run through run.sh.
#pragma once

#include "station/vbConfig.h"
#include "core/appcontext.h"
#include "core/clock.h"
#include "core/eventlog.h"
#include "core/outcome.h"
#include "core/prompter.h"
#include "programs/clsProcess.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace kv::odbc {
class Connection;
}
#include <vector>

namespace kv {

struct ManagedProgram {
    qint16 id = 0;
    QString executable;
    // Ends in "/"; also the child's working directory.
    QString path;
    QString arguments;
    QString name;
    bool runOnStart = false;
    bool restartOnFailure = false;
    // When the last end or failed start was recorded, for the person to read;
    // null when none is pending.
    QDateTime failedAt;
    bool awaitingRestart = false;
    qint16 failureCount = 0;
    // Created on first use; lives as long as the list.
    std::unique_ptr<clsProcess> process;
    // The restart delay is measured on the monotonic clock, so a change of
    // the time of day (midnight, DST, the cashier fixing the clock) neither
    // hurries nor stalls a restart.
    qint64 failedAtMonotonicMs = 0;
};

// What the program manager window attaches to.
class ManagedProgramsObserver {
public:
    virtual ~ManagedProgramsObserver() = default;
    // Entry `index` wrote something new (its runner's outText changed).
    virtual void outputChanged(int index) = 0;
    // A pass found entry `index` ended.
    virtual void entryEnded(int index) = 0;
    // A pass started entry `index` again after its end, or tried to.
    virtual void restartTried(int index) = 0;
};

class ManagedPrograms {
public:
    // Seconds that must have passed, whole, before an ended program restarts.
    static constexpr qint64 kRestartDelaySeconds = 10;
    // How long start-up waits, at most, for the programs an earlier launcher
    // left running to be gone once they were killed: SIGKILL takes
    // milliseconds, but a program blocked in a device driver ends only when
    // the driver lets it.
    static constexpr int kEarlierCopyEndMs = 2000;

    // shellConf is read at every start for the station id. Starts, ends,
    // restarts and stops go to `log`. `processes` is where a front-end left
    // running by an earlier launcher is looked for.
    ManagedPrograms(const AppContext &ctx, Prompter &prompter, Clock &clock, const LauncherSettings &shellConf,
                    EventLog &log, platform::ChildSpawner &spawner = platform::systemSpawner(),
                    platform::ProcessTable &processes = platform::systemProcessTable());

    std::vector<ManagedProgram> managedPrograms;

    // Reads the station's rows over `open` when that is open, else over a
    // connection of its own (closed either way), starts those to
    // run on start and, through a fresh run.sh, the front-end, unless one
    // that an earlier launcher started still runs: that one is then taken
    // over as the front-end slot's program. What an earlier launcher left
    // running of the other programs is ended first and started afresh
    // (endEarlierCopies). Database errors propagate (odbc::Error);
    // LauncherEnds when run.sh cannot be written.
    Outcome loadManagedPrograms(const LauncherSettings &settings, odbc::Connection *open = nullptr);

    // One pass over every entry: poll output, notice ends, restart.
    void superviseManagedPrograms();
    // Starts the front-end again (without its row's arguments) unless running.
    void reopenFrontEnd();
    // The front-end is not running, or its output ends with run.sh's marker.
    bool frontEndFinished() const;
    // Ends every running program but the front-end.
    void stopManagedPrograms();
    // Ends entry `index` by hand: nothing is recorded, nothing restarts it.
    void stopProgram(int index);

    QString programCommandLine(const ManagedProgram &entry) const;
    // Where the entry's program lies and runs: its path, or the application
    // directory when the path is empty (as the program manager leaves a
    // program it has just added).
    QString directoryOf(const ManagedProgram &entry) const;
    // Starts entry `index` the way every start does; true when it runs.
    bool startProgram(int index);
    clsProcess &runnerOf(ManagedProgram &entry);

    static bool isFrontEndRow(const QString &executable);

    void setObserver(ManagedProgramsObserver *observer) { m_observer = observer; }
    // Told after a program was started or stopped (by a pass or by hand), so
    // that the loop waits on what runs now.
    void setRunsChanged(std::function<void()> hook) { m_runsChanged = std::move(hook); }
    // When the next ended program is due to start again (monotonic), for the
    // loop to wake then; nothing when none waits.
    std::optional<qint64> nextRestartDueMs() const;

private:
    void recordFailure(ManagedProgram &entry);
    // Takes over the front-end an earlier launcher left running; false when
    // there is none. `frontEndName` is the program run.sh starts.
    bool adoptEarlierFrontEnd(const QString &frontEndName);
    // A launcher ended without stopping its programs (killed, a power cut,
    // the system's end) leaves them running, with nobody reading their
    // output and nobody to see them end; a new launcher that started beside
    // them would run every program twice, and more with every restart. So
    // every process of this user that runs the program file of an entry
    // from 1 on is ended, and waited for a moment, before the entries are
    // started: a card reader lets go of its device only when it has ended.
    // Such a copy is not taken over as the front-end is: with no output to
    // show and no exit status to tell, it could not be watched as the
    // station's programs are, and a helper, unlike the cashier's front-end,
    // loses nothing by starting again. Returns, per entry, whether a copy
    // with the entry's own command line ran: that one is started again
    // whether or not it runs on start.
    std::vector<bool> endEarlierCopies();
    // "card reader" (cardreader.sh) as the log names an entry.
    static QString nameOf(const ManagedProgram &entry);

    const AppContext &m_ctx;
    Prompter &m_prompter;
    Clock &m_clock;
    const LauncherSettings &m_shellConf;
    EventLog &m_log;
    platform::ChildSpawner &m_spawner;
    platform::ProcessTable &m_processes;
    ManagedProgramsObserver *m_observer = nullptr;
    std::function<void()> m_runsChanged;
};

} // namespace kv
