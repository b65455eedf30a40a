#include "platform/fakes/process_fake.h"

#include <algorithm>

namespace kv::platform {

FakeProcessTable::FakeProcessTable(int ownPid, std::string ownExecutable) : m_ownPid(ownPid)
{
    add({ownPid, std::move(ownExecutable), {}, true});
}

void FakeProcessTable::add(Process p)
{
    m_processes.push_back(std::move(p));
}

const FakeProcessTable::Process *FakeProcessTable::find(int pid) const
{
    const auto it = std::find_if(m_processes.begin(), m_processes.end(),
                                 [pid](const Process &p) { return p.pid == pid; });
    return it == m_processes.end() ? nullptr : &*it;
}

bool FakeProcessTable::running(int pid) const
{
    return find(pid) != nullptr;
}

std::vector<int> FakeProcessTable::listPids() const
{
    std::vector<int> pids;
    for (const Process &p : m_processes)
        pids.push_back(p.pid);
    return pids;
}

std::optional<std::string> FakeProcessTable::executableOf(int pid) const
{
    const Process *p = find(pid);
    return p ? p->executable : std::nullopt;
}

std::vector<std::string> FakeProcessTable::argumentsOf(int pid) const
{
    const Process *p = find(pid);
    return p ? p->arguments : std::vector<std::string>{};
}

bool FakeProcessTable::ownedByCurrentUser(int pid) const
{
    const Process *p = find(pid);
    return p && p->ownedByCurrentUser;
}

bool FakeProcessTable::terminate(int pid)
{
    m_terminateCalls.push_back(pid);
    if (pid <= 0)
        return false;
    const auto it = std::find_if(m_processes.begin(), m_processes.end(),
                                 [pid](const Process &p) { return p.pid == pid; });
    if (it == m_processes.end())
        return false;
    m_processes.erase(it);
    return true;
}

} // namespace kv::platform
