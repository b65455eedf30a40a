#include "programs/vbOtherInstance.h"

#include <string_view>

namespace kv::vbOtherInstance {
namespace {

// Linux marks the executable of a process whose file has since been replaced
// (as an update does) with this suffix; the copy is still the same launcher.
constexpr std::string_view kDeleted = " (deleted)";

std::string withoutDeletedMark(std::string path)
{
    if (path.size() > kDeleted.size()
        && std::string_view(path).substr(path.size() - kDeleted.size()) == kDeleted)
        path.resize(path.size() - kDeleted.size());
    return path;
}

} // namespace

int findOtherInstance(const platform::ProcessTable &table)
{
    const int own = table.ownPid();
    const std::optional<std::string> ownExe = table.executableOf(own);
    if (!ownExe || ownExe->empty())
        return -1;
    const std::string ownPath = withoutDeletedMark(*ownExe);

    int found = -1;
    for (const int pid : table.listPids()) {
        if (pid == own)
            continue;
        const std::optional<std::string> exe = table.executableOf(pid);
        if (exe && withoutDeletedMark(*exe) == ownPath)
            found = pid;
    }
    return found;
}

} // namespace kv::vbOtherInstance
