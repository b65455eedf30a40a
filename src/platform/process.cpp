#include "platform/process.h"

#include <cstring>

namespace kv::platform {

std::string describe(const ExitStatus &status)
{
    if (!status.bySignal)
        return "exited with status " + std::to_string(status.code);
    const char *abbrev = ::sigabbrev_np(status.code);
    return "ended by signal " + std::to_string(status.code) +
           (abbrev ? " (SIG" + std::string(abbrev) + ")" : std::string());
}

std::string_view withoutDeletedMark(std::string_view path)
{
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.substr(path.size() - kDeleted.size()) == kDeleted)
        path.remove_suffix(kDeleted.size());
    return path;
}

std::vector<int> ProcessTable::processesRunning(const std::string &path) const
{
    const std::string_view wanted = withoutDeletedMark(path);
    std::vector<int> found;
    for (const int pid : listPids()) {
        const std::optional<std::string> exe = executableOf(pid);
        if (exe && withoutDeletedMark(*exe) == wanted)
            found.push_back(pid);
    }
    return found;
}

std::vector<std::string> splitCommandLine(std::string_view commandLine)
{
    std::vector<std::string> args;
    std::string current;
    // An argument exists once a quote or any other non-blank has been seen,
    // so that "" stands for an empty argument.
    bool inArgument = false;
    bool quoted = false;
    for (const char c : commandLine) {
        if (c == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inArgument) {
                args.push_back(std::move(current));
                current.clear();
                inArgument = false;
            }
        } else {
            current.push_back(c);
            inArgument = true;
        }
    }
    if (inArgument)
        args.push_back(std::move(current));
    return args;
}

} // namespace kv::platform
