#include "programs/vbManagedPrograms.h"

#include "station/odbc.h"
#include "station/vbDatabase.h"
#include "core/helpers.h"
#include "core/textconv.h"
#include "programs/vbOtherInstance.h"
#include "programs/vbRunScript.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <thread>

namespace kv {

namespace {

const QString kMarker = QStringLiteral("$$finished$$\r\n");

} // namespace

ManagedPrograms::ManagedPrograms(const AppContext &ctx, Prompter &prompter, Clock &clock,
                                 const LauncherSettings &shellConf, EventLog &log, platform::ChildSpawner &spawner,
                                 platform::ProcessTable &processes)
    : m_ctx(ctx), m_prompter(prompter), m_clock(clock), m_shellConf(shellConf), m_log(log), m_spawner(spawner),
      m_processes(processes)
{
}

QString ManagedPrograms::nameOf(const ManagedProgram &entry)
{
    return QLatin1Char('"') + entry.name + QStringLiteral("\" (") + entry.executable + QLatin1Char(')');
}

bool ManagedPrograms::isFrontEndRow(const QString &executable)
{
    for (const char *name : {"dralfrontend.exe", "run.bat", "korvantis.exe", runscript::kRunScriptName}) {
        if (executable.contains(QLatin1String(name), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString ManagedPrograms::directoryOf(const ManagedProgram &entry) const
{
    return entry.path.isEmpty() ? m_ctx.appPath() : entry.path;
}

QString ManagedPrograms::programCommandLine(const ManagedProgram &entry) const
{
    return QLatin1Char('"') + directoryOf(entry) + entry.executable + QStringLiteral("\" ") + entry.arguments +
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
    if (runner.pReady)
        return true;
    const QString commandLine = programCommandLine(entry);
    runner.Init(commandLine, directoryOf(entry), true, true, true);
    if (runner.pReady)
        m_log.info(QStringLiteral("started %1, process %2: %3")
                       .arg(nameOf(entry))
                       .arg(runner.processId())
                       .arg(commandLine));
    else
        m_log.error(QStringLiteral("could not start %1: %2").arg(nameOf(entry), runner.startError()));
    if (m_runsChanged)
        m_runsChanged();
    return runner.pReady;
}

void ManagedPrograms::recordFailure(ManagedProgram &entry)
{
    entry.failedAt = m_clock.now();
    entry.failedAtMonotonicMs = m_clock.monotonicMs();
    entry.awaitingRestart = true;
    ++entry.failureCount;
}

Outcome ManagedPrograms::loadManagedPrograms(const LauncherSettings &settings, odbc::Connection *open)
{
    odbc::Connection own;
    odbc::Connection &connection = open && open->isOpen() ? *open : own;
    if (!connection.isOpen())
        connection.open(database::buildConnectionText(settings));
    odbc::Recordset rs;
    // The station id goes in as stored, so only a whole number may: the
    // statement would fail on any other text, and so does this.
    if (!database::isPlainStationId(settings.stationid))
        throw database::stationIdError(settings.stationid);
    rs.open(QStringLiteral("SELECT id, name, path, executable, arguments, runonstart, restartonfailure, machineid "
                           "FROM managedprogram WHERE machineid='") +
                settings.stationid + QStringLiteral("'"),
            connection);

    managedPrograms.clear();
    managedPrograms.resize(2); // the front-end slot and a spare for the next row
    for (; rs.isOpen() && !rs.eof(); rs.moveNext()) {
        const QString executable = rs.field(QStringLiteral("executable")).toString();
        const bool frontEnd = isFrontEndRow(executable);
        const std::size_t target = frontEnd ? 0 : managedPrograms.size() - 1;
        ManagedProgram &e = managedPrograms[target];

        bool ok = false;
        const qint64 id = rs.field(QStringLiteral("id")).toInt64(&ok);
        if (!ok || id < std::numeric_limits<qint16>::min() || id > std::numeric_limits<qint16>::max()) {
            throw odbc::Error(odbc::kProviderError,
                              QStringLiteral("The program \"%1\" has the id %2, which the launcher cannot hold "
                                             "(at most %3).")
                                  .arg(rs.field(QStringLiteral("name")).toString(),
                                       rs.field(QStringLiteral("id")).toString())
                                  .arg(std::numeric_limits<qint16>::max()));
        }
        e.id = qint16(id);
        // A missing display name is no reason to leave the till without its
        // programs: it shows as an empty name.
        e.name = rs.field(QStringLiteral("name")).toString();
        e.failedAt = QDateTime();
        e.failedAtMonotonicMs = 0;
        e.awaitingRestart = false;
        e.failureCount = 0;
        const QString path = rs.field(QStringLiteral("path")).toString();
        e.path = path.isEmpty() ? m_ctx.appPath() : addBackslash(path);
        e.arguments = rs.field(QStringLiteral("arguments")).toString();
        e.executable = executable;
        // NULL restarts: only an explicit "no" keeps an ended program down.
        // Compared as numbers, unrounded: 0.4 is not 0.
        bool isNumber = false;
        const double restart = rs.field(QStringLiteral("restartonfailure")).toDouble(&isNumber);
        e.restartOnFailure = !(isNumber && restart == 0);
        const double runOnStart = rs.field(QStringLiteral("runonstart")).toDouble(&isNumber);
        e.runOnStart = isNumber && runOnStart == 1;
        if (!frontEnd)
            managedPrograms.emplace_back();
    }
    managedPrograms.pop_back();
    rs.close();
    connection.close();

    // Started once every row is read, so that what an earlier launcher left
    // running of any of them is gone first.
    const std::vector<bool> ranBefore = endEarlierCopies();
    for (std::size_t i = 1; i < managedPrograms.size(); ++i) {
        if ((managedPrograms[i].runOnStart || ranBefore[i]) && !startProgram(int(i)))
            recordFailure(managedPrograms[i]);
    }

    ManagedProgram &front = managedPrograms.front();
    if (front.id == 0) {
        front.name = QStringLiteral("Korvantis");
        front.path = m_ctx.appPath();
        front.restartOnFailure = false;
        front.runOnStart = true;
        front.failedAt = QDateTime();
        front.failedAtMonotonicMs = 0;
        front.awaitingRestart = false;
        front.failureCount = 0;
        front.arguments = QString();
    }
    // The front-end always runs through its script, which prints the end
    // marker, whatever executable its row names.
    front.executable = QLatin1String(runscript::kRunScriptName);

    QString frontEndName;
    if (runscript::writeRunScript(m_ctx, m_prompter, &frontEndName) == Outcome::LauncherEnds)
        return Outcome::LauncherEnds;
    // On purpose, the front-end is not started at every start as it used to
    // be: when the launcher was ended by the system, killed, or quit through
    // Exit (which leaves the front-end running), the front-end it started
    // still runs, and a second one beside it would fight it over the card
    // reader and the cashier's screen (restarts piled them up by the dozen).
    // That one becomes the slot's program instead; its end is the
    // front-end's end as if this launcher had started it.
    if (!adoptEarlierFrontEnd(frontEndName))
        startProgram(0);
    return Outcome::Continue;
}

bool ManagedPrograms::adoptEarlierFrontEnd(const QString &frontEndName)
{
    ManagedProgram &front = managedPrograms.front();
    const std::optional<vbOtherInstance::EarlierFrontEnd> found =
        vbOtherInstance::findEarlierFrontEnd(m_processes, front.path, front.executable, frontEndName);
    // Gone by now, if it ended meanwhile: then it is started as usual.
    if (!found || !runnerOf(front).adopt(m_processes.follow(found->pid, found->startTime)))
        return false;
    m_log.notice(QStringLiteral("the front-end an earlier launcher started still runs: took over process %1 (%2) "
                                "as %3 instead of starting another")
                     .arg(found->pid)
                     .arg(found->program, nameOf(front)));
    if (found->others > 0)
        m_log.warning(QStringLiteral("%1 more front-end(s) from %2 run as well; they are left running")
                          .arg(found->others)
                          .arg(front.path));
    return true;
}

std::vector<bool> ManagedPrograms::endEarlierCopies()
{
    std::vector<bool> ranBefore(managedPrograms.size(), false);
    // Program file -> the entries that run it; several may, with other arguments.
    std::map<QString, std::vector<std::size_t>> entriesOf;
    for (std::size_t i = 1; i < managedPrograms.size(); ++i) {
        const ManagedProgram &e = managedPrograms[i];
        if (!e.executable.isEmpty())
            entriesOf[vbOtherInstance::resolvedPath(directoryOf(e) + e.executable)].push_back(i);
    }
    if (entriesOf.empty())
        return ranBefore;
    std::vector<std::unique_ptr<platform::Child>> ending;
    for (const vbOtherInstance::RunningCopy &copy : vbOtherInstance::copiesRunning(
             m_processes, [&](const QString &program) { return entriesOf.count(program) > 0; })) {
        std::size_t owner = entriesOf.at(copy.program).front();
        for (const std::size_t i : entriesOf.at(copy.program)) {
            // Its arguments end as the entry's command line splits (a script
            // run through its interpreter has the interpreter before them).
            const std::vector<std::string> line =
                platform::splitCommandLine(text::toUtf8(programCommandLine(managedPrograms[i])));
            if (copy.arguments.size() >= line.size() &&
                std::equal(line.begin(), line.end(), copy.arguments.end() - std::ptrdiff_t(line.size()))) {
                ranBefore[i] = true;
                owner = i;
            }
        }
        // Followed, so that a pid given to another process meanwhile is never hit.
        std::unique_ptr<platform::Child> process = m_processes.follow(copy.pid, copy.origin.startTime);
        if (!process || !process->kill())
            continue; // ended by itself meanwhile
        m_log.notice(QStringLiteral("%1 still ran as process %2, left by an earlier launcher: ended it, so that "
                                    "the one this launcher starts and watches is the only one")
                         .arg(nameOf(managedPrograms[owner]))
                         .arg(copy.pid));
        ending.push_back(std::move(process));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEarlierCopyEndMs);
    for (const std::unique_ptr<platform::Child> &process : ending) {
        std::size_t got = 0;
        while (process->read(nullptr, 0, got) != platform::Child::ReadResult::Closed) {
            if (std::chrono::steady_clock::now() >= deadline) {
                m_log.warning(QStringLiteral("process %1 had not ended %2 ms after it was killed; its program is "
                                             "started beside it")
                                  .arg(process->pid())
                                  .arg(kEarlierCopyEndMs));
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return ranBefore;
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
                // A crash names its signal, a failure its status.
                const QString how = runner.adopted()
                                        ? QStringLiteral("ended (taken over from an earlier launcher, so its exit "
                                                         "status is not known)")
                                        : runner.endDescription();
                const QString ended =
                    nameOf(entry) + QLatin1Char(' ') + (how.isEmpty() ? QStringLiteral("ended (its output closed)") : how);
                if (entry.restartOnFailure) {
                    recordFailure(entry);
                    m_log.warning(QStringLiteral("%1; restart in %2 s, failure %3")
                                      .arg(ended)
                                      .arg(kRestartDelaySeconds + 1)
                                      .arg(entry.failureCount));
                } else {
                    m_log.notice(ended + QStringLiteral("; it is not restarted"));
                }
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
        m_log.notice(QStringLiteral("restarting %1 (failures so far: %2)").arg(nameOf(entry)).arg(entry.failureCount));
        if (startProgram(int(i))) {
            ManagedProgram &started = managedPrograms[i];
            started.failedAt = QDateTime();
            started.failedAtMonotonicMs = 0;
            started.awaitingRestart = false;
        } else {
            recordFailure(managedPrograms[i]);
            m_log.warning(QStringLiteral("%1 will be tried again in %2 s, failure %3")
                              .arg(nameOf(managedPrograms[i]))
                              .arg(kRestartDelaySeconds + 1)
                              .arg(managedPrograms[i].failureCount));
        }
        if (m_observer)
            m_observer->restartTried(int(i));
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
    const QString commandLine = QLatin1Char('"') + directoryOf(front) + front.executable +
                                QStringLiteral("\" -v stationid=") + m_shellConf.stationid;
    runner.Init(commandLine, directoryOf(front), true, true, true);
    if (runner.pReady)
        m_log.notice(QStringLiteral("reopened the front-end, process %1: %2").arg(runner.processId()).arg(commandLine));
    else
        m_log.error(QStringLiteral("could not reopen the front-end: %1").arg(runner.startError()));
    if (m_runsChanged)
        m_runsChanged();
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
        if (entry.process && entry.process->pReady) {
            entry.process->killProcess();
            m_log.info(QStringLiteral("stopped %1 as the launcher quits").arg(nameOf(entry)));
        }
    }
}

void ManagedPrograms::stopProgram(int index)
{
    ManagedProgram &entry = managedPrograms.at(std::size_t(index));
    clsProcess &runner = runnerOf(entry);
    const bool wasRunning = runner.pReady;
    runner.killProcess();
    if (wasRunning)
        m_log.notice(QStringLiteral("stopped %1 by hand").arg(nameOf(entry)));
    if (m_runsChanged)
        m_runsChanged();
}

std::optional<qint64> ManagedPrograms::nextRestartDueMs() const
{
    // As superviseManagedPrograms counts: more than the delay, in whole seconds.
    std::optional<qint64> due;
    for (const ManagedProgram &entry : managedPrograms) {
        if (entry.awaitingRestart && entry.restartOnFailure && !(entry.process && entry.process->pReady)) {
            const qint64 at = entry.failedAtMonotonicMs + (kRestartDelaySeconds + 1) * 1000;
            due = due ? std::min(*due, at) : at;
        }
    }
    return due;
}

} // namespace kv
