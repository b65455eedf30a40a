#include "platform/fakes/process_fake.h"

#include <algorithm>
#include <stdexcept>

namespace kv::platform {

FakeProcessTable::FakeProcessTable(int ownPid, std::string ownExecutable, std::uint64_t ownStartTime)
    : m_ownPid(ownPid), m_processes{{ownPid, std::move(ownExecutable), {}, true, 1, ownStartTime}}
{
}

const FakeProcessTable::Process *FakeProcessTable::find(int pid) const
{
    const auto it = std::find_if(m_processes.begin(), m_processes.end(),
                                 [pid](const Process &p) { return p.pid == pid; });
    return it == m_processes.end() ? nullptr : &*it;
}

std::vector<int> FakeProcessTable::listPids() const
{
    std::vector<int> pids;
    for (const Process &p : m_processes)
        pids.push_back(p.pid);
    return pids;
}

bool FakeProcessTable::terminate(int pid)
{
    m_terminateCalls.push_back(pid);
    return pid > 0 && std::erase_if(m_processes, [pid](const Process &p) { return p.pid == pid; }) > 0;
}

std::optional<ProcessOrigin> FakeProcessTable::originOf(int pid) const
{
    const Process *p = find(pid);
    return p ? std::optional(ProcessOrigin{p->parentPid, p->startTime}) : std::nullopt;
}

std::unique_ptr<Child> FakeProcessTable::follow(int pid, std::uint64_t)
{
    throw std::logic_error("the in-memory process table follows no process (asked for " + std::to_string(pid) + ")");
}

} // namespace kv::platform
