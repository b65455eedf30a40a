// Finding another running copy of the launcher, and the front-end an earlier
// copy left running.
#pragma once

#include "platform/process.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kv::vbOtherInstance {

// The id of another process whose executable is the launcher's own file,
// compared by full path exactly (case-sensitive; the system reports paths
// with links resolved, so a copy started through a symbolic link counts and
// a copy of the file elsewhere does not). When several match, the one the
// system lists last. -1 when there is none, or when the launcher cannot read
// its own executable path. A launcher whose file was replaced by an update
// still finds, and is found by, the copies started from the new file.
int findOtherInstance(const platform::ProcessTable &table);

// `path` with links resolved when the file exists (a file replaced since a
// process started it is named as it is now), else only cleaned.
QString resolvedPath(const QString &path);

// A process found running one of the programs looked for.
struct RunningCopy {
    int pid = 0;
    platform::ProcessOrigin origin;
    // The program file it runs, links resolved: its executable, or the
    // script an interpreter runs (a relative one counted from its directory).
    QString program;
    // As it was started, argv[0] first.
    std::vector<std::string> arguments;
};

// The processes of this user, but the launcher and those it started itself,
// whose program file `wanted` accepts, in list order. A process that has
// ended and only waits to be collected runs nothing. Another user's process
// is never among them, whatever it runs.
std::vector<RunningCopy> copiesRunning(const platform::ProcessTable &table,
                                       const std::function<bool(const QString &program)> &wanted);

// A front-end found running.
struct EarlierFrontEnd {
    int pid = 0;
    std::uint64_t startTime = 0;
    // The script or program file it runs.
    QString program;
    // Further front-ends from the same directory that run as well.
    int others = 0;
};

// The front-end that an earlier launcher of this user started from
// `directory` (ending in "/") and that still runs: a process of this user,
// started before this launcher and not by it, that runs the script
// `directory` + `scriptName` (run.sh), or else the front-end program itself,
// the file `frontEndName` in `directory` (as run.sh names it; wildcards as
// the shell reads them), whose run.sh is gone. Paths are compared with links
// resolved. Of several, the oldest run.sh, else the oldest program. Nothing
// when none runs, or when the launcher's own start cannot be read (earlier
// is then not known).
std::optional<EarlierFrontEnd> findEarlierFrontEnd(const platform::ProcessTable &table, const QString &directory,
                                                   const QString &scriptName, const QString &frontEndName);

} // namespace kv::vbOtherInstance
