#include "programs/vbManagedPrograms.h"

#include "core/helpers.h"
#include "programs/vbRunScript.h"

namespace kv {

namespace {

const QString kMarker = QStringLiteral("$$finished$$\r\n");

} // namespace

ManagedPrograms::ManagedPrograms(const AppContext &ctx, Prompter &prompter, Clock &clock,
                                 const LauncherSettings &shellConf, platform::ChildSpawner &spawner)
    : m_ctx(ctx), m_prompter(prompter), m_clock(clock), m_shellConf(shellConf), m_spawner(spawner)
{
}

bool ManagedPrograms::isFrontEndRow(const QString &executable)
{
    for (const char *name : {"dralfrontend.exe", "run.bat", "korvantis.exe", runscript::kRunScriptName}) {
        if (executable.contains(QLatin1String(name), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString ManagedPrograms::programCommandLine(const ManagedProgram &entry) const
{
    return QLatin1Char('"') + entry.path + entry.executable + QStringLiteral("\" ") + entry.arguments +
           QStringLiteral(" -v stationid=") + m_shellConf.stationid;
}

clsProcess &ManagedPrograms::runnerOf(ManagedProgram &entry)
{
    if (!entry.process)
        entry.process = std::make_unique<clsProcess>(m_prompter, m_spawner);
    return *entry.process;
}

bool ManagedPrograms::startProgram(int index)
{
    ManagedProgram &entry = managedPrograms.at(std::size_t(index));
    clsProcess &runner = runnerOf(entry);
    runner.Init(programCommandLine(entry), entry.path, true, true, true);
    return runner.pReady;
}

void ManagedPrograms::recordFailure(ManagedProgram &entry)
{
    entry.failedAt = m_clock.now();
    entry.failedAtMonotonicMs = m_clock.monotonicMs();
    entry.awaitingRestart = true;
    ++entry.failureCount;
}

void ManagedPrograms::superviseManagedPrograms()
{
    // Indexes, not iterators: a message box inside a start lets the program
    // manager run, and it may append entries.
    for (std::size_t i = 0; i < managedPrograms.size(); ++i) {
        ManagedProgram &entry = managedPrograms[i];
        clsProcess &runner = runnerOf(entry);
        if (runner.pReady) {
            const QString chunk = runner.getOutput();
            if (!chunk.isEmpty() && m_observer)
                m_observer->outputChanged(int(i));
            if (!runner.pReady) {
                if (entry.restartOnFailure)
                    recordFailure(entry);
                if (m_observer)
                    m_observer->entryEnded(int(i));
            }
            continue;
        }
        if (!entry.awaitingRestart || !entry.restartOnFailure)
            continue;
        const qint64 wholeSeconds = (m_clock.monotonicMs() - entry.failedAtMonotonicMs) / 1000;
        if (wholeSeconds <= kRestartDelaySeconds)
            continue;
        if (startProgram(int(i))) {
            ManagedProgram &started = managedPrograms[i];
            started.failedAt = QDateTime();
            started.failedAtMonotonicMs = 0;
            started.awaitingRestart = false;
        } else {
            recordFailure(managedPrograms[i]);
        }
    }
}

void ManagedPrograms::reopenFrontEnd()
{
    if (managedPrograms.empty())
        return;
    ManagedProgram &front = managedPrograms.front();
    clsProcess &runner = runnerOf(front);
    if (runner.pReady)
        return;
    runner.Init(QLatin1Char('"') + front.path + front.executable + QStringLiteral("\" -v stationid=") +
                    m_shellConf.stationid,
                front.path, true, true, true);
}

bool ManagedPrograms::frontEndFinished() const
{
    if (managedPrograms.empty() || !managedPrograms.front().process)
        return true;
    const clsProcess &runner = *managedPrograms.front().process;
    return !runner.pReady || runner.outText.endsWith(kMarker);
}

void ManagedPrograms::stopManagedPrograms()
{
    for (std::size_t i = 1; i < managedPrograms.size(); ++i) {
        ManagedProgram &entry = managedPrograms[i];
        if (entry.process && entry.process->pReady)
            entry.process->killProcess();
    }
}

} // namespace kv
