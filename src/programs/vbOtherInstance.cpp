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

namespace {

// With links resolved when the file exists; a file replaced since its start
// is named as it is now.
QString resolved(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

struct Candidate {
    int pid;
    platform::ProcessOrigin origin;
    QString program;
    bool script;
};

} // namespace

std::optional<EarlierFrontEnd> findEarlierFrontEnd(const platform::ProcessTable &table, const QString &directory,
                                                   const QString &scriptName, const QString &frontEndName)
{
    const int own = table.ownPid();
    const std::optional<platform::ProcessOrigin> ownOrigin = table.originOf(own);
    if (!ownOrigin)
        return std::nullopt;
    const QString dir = resolved(directory);
    const QString script = resolved(directory + scriptName);
    const bool pattern = frontEndName.contains(QRegularExpression(QStringLiteral("[*?[]")));
    const QRegularExpression namePattern(
        pattern ? QRegularExpression::wildcardToRegularExpression(frontEndName) : QString());
    const QString frontEnd = frontEndName.isEmpty() || pattern ? QString() : resolved(directory + frontEndName);
    const auto isFrontEnd = [&](const QString &program) {
        if (!pattern)
            return !frontEnd.isEmpty() && program == frontEnd;
        const QFileInfo file(program);
        return file.absolutePath() == dir && namePattern.match(file.fileName()).hasMatch();
    };

    std::vector<Candidate> found;
    for (const int pid : table.listPids()) {
        if (pid == own)
            continue;
        // Another user's process cannot be read and is passed over here.
        const std::optional<std::string> exe = table.executableOf(pid);
        if (!exe)
            continue;
        std::optional<std::string> file;
        if (vbKill::runsScripts(*exe)) {
            file = vbKill::programFileOf(*exe, table.argumentsOf(pid));
            if (file && !file->empty() && file->front() != '/') {
                const std::optional<std::string> cwd = table.workingDirectoryOf(pid);
                file = cwd ? std::optional(*cwd + "/" + *file) : std::nullopt;
            }
        } else {
            file = std::string(platform::withoutDeletedMark(*exe));
        }
        if (!file)
            continue;
        const QString program = resolved(text::fromUtf8(*file));
        const bool isScript = program == script;
        if (!isScript && !isFrontEnd(program))
            continue;
        const std::optional<platform::ProcessOrigin> origin = table.originOf(pid);
        // This launcher's own children, and whatever started after it, are
        // not an earlier run's.
        if (!origin || origin->parentPid == own || origin->startTime > ownOrigin->startTime ||
            !table.ownedByCurrentUser(pid))
            continue;
        found.push_back({pid, *origin, program, isScript});
    }
    std::stable_sort(found.begin(), found.end(), [](const Candidate &a, const Candidate &b) {
        return a.script != b.script ? a.script : a.origin.startTime < b.origin.startTime;
    });
    // A program whose run.sh was found is that run.sh's front-end, not one more.
    const auto underFoundScript = [&](const Candidate &c) {
        return std::any_of(found.begin(), found.end(),
                           [&](const Candidate &s) { return s.script && s.pid == c.origin.parentPid; });
    };
    std::vector<Candidate> frontEnds;
    for (const Candidate &c : found) {
        if (c.script || !underFoundScript(c))
            frontEnds.push_back(c);
    }
    if (frontEnds.empty())
        return std::nullopt;
    const Candidate &first = frontEnds.front();
    return EarlierFrontEnd{first.pid, first.origin.startTime, first.program, int(frontEnds.size()) - 1};
}

} // namespace kv::vbOtherInstance
