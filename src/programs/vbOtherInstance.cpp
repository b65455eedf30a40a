#include "programs/vbOtherInstance.h"

#include "core/textconv.h"
#include "programs/vbKill.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <vector>

namespace kv::vbOtherInstance {

int findOtherInstance(const platform::ProcessTable &table)
{
    const int own = table.ownPid();
    const std::optional<std::string> ownExe = table.executableOf(own);
    if (!ownExe || ownExe->empty())
        return -1;
    int found = -1;
    for (const int pid : table.processesRunning(*ownExe)) {
        if (pid != own)
            found = pid;
    }
    return found;
}

QString resolvedPath(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

std::vector<RunningCopy> copiesRunning(const platform::ProcessTable &table,
                                       const std::function<bool(const QString &program)> &wanted)
{
    const int own = table.ownPid();
    std::vector<RunningCopy> found;
    for (const int pid : table.listPids()) {
        if (pid == own)
            continue;
        // Another user's process cannot be read and is passed over here.
        const std::optional<std::string> exe = table.executableOf(pid);
        if (!exe)
            continue;
        std::vector<std::string> arguments;
        std::optional<std::string> file;
        if (vbKill::runsScripts(*exe)) {
            arguments = table.argumentsOf(pid);
            file = vbKill::programFileOf(*exe, arguments);
            if (file && !file->empty() && file->front() != '/') {
                const std::optional<std::string> cwd = table.workingDirectoryOf(pid);
                file = cwd ? std::optional(*cwd + "/" + *file) : std::nullopt;
            }
        } else {
            file = std::string(platform::withoutDeletedMark(*exe));
        }
        if (!file)
            continue;
        const QString program = resolvedPath(text::fromUtf8(*file));
        if (!wanted(program))
            continue;
        // Whatever a launcher killed with SIGKILL had started now belongs to
        // whoever adopted it (init, or the session's subreaper): only the
        // parent this launcher would be is ruled out.
        const std::optional<platform::ProcessOrigin> origin = table.originOf(pid);
        if (!origin || origin->parentPid == own || !table.ownedByCurrentUser(pid))
            continue;
        if (arguments.empty())
            arguments = table.argumentsOf(pid);
        found.push_back({pid, *origin, program, std::move(arguments)});
    }
    return found;
}

std::optional<EarlierFrontEnd> findEarlierFrontEnd(const platform::ProcessTable &table, const QString &directory,
                                                   const QString &scriptName, const QString &frontEndName)
{
    const std::optional<platform::ProcessOrigin> ownOrigin = table.originOf(table.ownPid());
    if (!ownOrigin)
        return std::nullopt;
    const QString dir = resolvedPath(directory);
    const QString script = resolvedPath(directory + scriptName);
    const bool pattern = frontEndName.contains(QRegularExpression(QStringLiteral("[*?[]")));
    const QRegularExpression namePattern(
        pattern ? QRegularExpression::wildcardToRegularExpression(frontEndName) : QString());
    const QString frontEnd = frontEndName.isEmpty() || pattern ? QString() : resolvedPath(directory + frontEndName);
    const auto isFrontEnd = [&](const QString &program) {
        if (program == script)
            return true;
        if (!pattern)
            return !frontEnd.isEmpty() && program == frontEnd;
        const QFileInfo file(program);
        return file.absolutePath() == dir && namePattern.match(file.fileName()).hasMatch();
    };

    std::vector<RunningCopy> found = copiesRunning(table, isFrontEnd);
    // Whatever started after this launcher is not an earlier run's.
    std::erase_if(found, [&](const RunningCopy &c) { return c.origin.startTime > ownOrigin->startTime; });
    const auto isScript = [&](const RunningCopy &c) { return c.program == script; };
    std::stable_sort(found.begin(), found.end(), [&](const RunningCopy &a, const RunningCopy &b) {
        return isScript(a) != isScript(b) ? isScript(a) : a.origin.startTime < b.origin.startTime;
    });
    // A program whose run.sh was found is that run.sh's front-end, not one more.
    const auto underFoundScript = [&](const RunningCopy &c) {
        return std::any_of(found.begin(), found.end(),
                           [&](const RunningCopy &s) { return isScript(s) && s.pid == c.origin.parentPid; });
    };
    std::vector<RunningCopy> frontEnds;
    for (const RunningCopy &c : found) {
        if (isScript(c) || !underFoundScript(c))
            frontEnds.push_back(c);
    }
    if (frontEnds.empty())
        return std::nullopt;
    const RunningCopy &first = frontEnds.front();
    return EarlierFrontEnd{first.pid, first.origin.startTime, first.program, int(frontEnds.size()) - 1};
}

} // namespace kv::vbOtherInstance
