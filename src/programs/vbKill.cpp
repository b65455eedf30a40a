#include "programs/vbKill.h"

#include "core/textconv.h"

#include <regex>
#include <string_view>

namespace kv::vbKill {
namespace {

std::string_view baseName(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

enum class Interpreter { None, Shell, Python, Perl };

// The kernel reports the resolved file: /bin/sh is dash here, python3 is
// python3.11.
Interpreter interpreterOf(std::string_view exeName)
{
    if (exeName == "sh" || exeName == "bash" || exeName == "dash")
        return Interpreter::Shell;
    if (exeName == "perl")
        return Interpreter::Perl;
    static const std::regex python("python3(\\.[0-9]+)?");
    if (std::regex_match(exeName.begin(), exeName.end(), python))
        return Interpreter::Python;
    return Interpreter::None;
}

// The script an interpreter runs: its first argument that is not an option.
// Options that run code given on the command line (sh -c, python3 -c or -m,
// perl -e) mean there is no script file; options that take a value skip it.
std::optional<std::string> scriptOf(Interpreter kind, const std::vector<std::string> &args)
{
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--")
            return i + 1 < args.size() ? std::optional(args[i + 1]) : std::nullopt;
        if (a == "-")
            return std::nullopt; // script from standard input
        if (a.empty() || (a[0] != '-' && a[0] != '+'))
            return a;
        switch (kind) {
        case Interpreter::Shell:
            if (a.find('c') != std::string::npos && a[0] == '-' && a.rfind("--", 0) != 0)
                return std::nullopt;
            if (a == "-o" || a == "+o" || a == "-O" || a == "+O")
                ++i;
            break;
        case Interpreter::Python:
            if (a.rfind("-c", 0) == 0 || a.rfind("-m", 0) == 0)
                return std::nullopt;
            if (a == "-W" || a == "-X")
                ++i;
            break;
        case Interpreter::Perl:
            if (a.rfind("-e", 0) == 0 || a.rfind("-E", 0) == 0)
                return std::nullopt;
            break;
        case Interpreter::None:
            return std::nullopt;
        }
    }
    return std::nullopt;
}

bool nameMatches(std::string_view name, std::string_view wanted, std::string_view wantedBare)
{
    return name == wanted || (!wantedBare.empty() && name == wantedBare);
}

} // namespace

bool terminateProcessById(platform::ProcessTable &table, int processId)
{
    if (processId <= 0)
        return false;
    return table.terminate(processId);
}

bool runsImage(const std::string &executable, const std::vector<std::string> &arguments,
               const QString &imageName)
{
    const std::string wanted = text::toUtf8(imageName);
    if (wanted.empty())
        return false;
    std::string_view bare;
    if (imageName.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        bare = std::string_view(wanted).substr(0, wanted.size() - 4);

    const std::string_view exeName = baseName(platform::withoutDeletedMark(executable));
    if (nameMatches(exeName, wanted, bare))
        return true;
    const Interpreter kind = interpreterOf(exeName);
    if (kind == Interpreter::None)
        return false;
    const std::optional<std::string> script = scriptOf(kind, arguments);
    return script && nameMatches(baseName(*script), wanted, bare);
}

bool runsScripts(const std::string &executable)
{
    return interpreterOf(baseName(platform::withoutDeletedMark(executable))) != Interpreter::None;
}

std::optional<std::string> programFileOf(const std::string &executable, const std::vector<std::string> &arguments)
{
    const std::string_view exe = platform::withoutDeletedMark(executable);
    const Interpreter kind = interpreterOf(baseName(exe));
    if (kind == Interpreter::None)
        return std::string(exe);
    return scriptOf(kind, arguments);
}

int killImage(platform::ProcessTable &table, const QString &imageName)
{
    if (imageName.isEmpty())
        return 0;
    const int own = table.ownPid();
    int ended = 0;
    // Cheapest first: the executable's name rules out nearly every process
    // (and another user's cannot even be read), so ownership, which means
    // reading the whole status, is asked of the few left: interpreters and
    // programs of that name.
    for (const int pid : table.listPids()) {
        if (pid == own)
            continue;
        const std::optional<std::string> exe = table.executableOf(pid);
        if (!exe)
            continue;
        const bool interpreter = interpreterOf(baseName(platform::withoutDeletedMark(*exe))) != Interpreter::None;
        if ((!interpreter && !runsImage(*exe, {}, imageName)) || !table.ownedByCurrentUser(pid))
            continue;
        // Reading a process's arguments can wait on that process's memory,
        // so only an interpreter of ours, whose script is among them, is asked.
        if (interpreter && !runsImage(*exe, table.argumentsOf(pid), imageName))
            continue;
        if (table.terminate(pid))
            ++ended;
    }
    return ended;
}

} // namespace kv::vbKill
