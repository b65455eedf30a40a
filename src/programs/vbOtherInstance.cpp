#include "programs/vbOtherInstance.h"

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

} // namespace kv::vbOtherInstance
