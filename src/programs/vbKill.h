// Ending processes: one by its id, or every process of this user that runs a
// given program (the launcher's replacement for "taskkill /f /im NAME").
#pragma once

#include "core/noticesink.h"
#include "platform/process.h"

#include <QString>

namespace kv::vbKill {

// Ends the process at once. False for any id of 0 or below (nothing is sent:
// to the system those name whole groups of processes) and when the process
// could not be ended. Processes a process started are not touched.
bool terminateProcessById(platform::ProcessTable &table, int processId);

// True when a process with these executable path and arguments runs the
// program `imageName`: its executable's file name is that name or, for a
// script run through sh, bash, dash, python3 or perl, the script's file name
// is. A name ending in ".exe" also matches the program without it, so the
// Windows-style names the system uses reach their Linux programs. An empty
// name matches nothing.
bool runsImage(const std::string &executable, const std::vector<std::string> &arguments,
               const QString &imageName);

// True when the executable is one of those interpreters (sh, bash, dash,
// python3, perl), whose program is a script named among its arguments.
bool runsScripts(const std::string &executable);

// The program file a process runs: for an interpreter, its script as the
// arguments name it (relative ones count from the process's working
// directory); for any other, its executable. Nothing for an interpreter
// given its code on the command line or on standard input.
std::optional<std::string> programFileOf(const std::string &executable, const std::vector<std::string> &arguments);

// Ends, without waiting for them, every process of the current user that
// runs `imageName` (see runsImage), never the launcher itself. Returns how
// many were signalled; a program that is not running is simply not found.
int killImage(platform::ProcessTable &table, const QString &imageName);

// killImage over a process table, for the parts of the launcher that only
// know the ImageKiller interface.
class TableImageKiller final : public ImageKiller {
public:
    explicit TableImageKiller(platform::ProcessTable &table = platform::systemProcessTable()) : m_table(table) {}
    int killImage(const QString &imageName) override { return vbKill::killImage(m_table, imageName); }

private:
    platform::ProcessTable &m_table;
};

} // namespace kv::vbKill
