#include "platform/fakes/process_fake.h"

#include <algorithm>

namespace kv::platform {

FakeProcessTable::FakeProcessTable(int ownPid, std::string ownExecutable, std::uint64_t ownStartTime)
    : m_ownPid(ownPid)
{
    add({ownPid, std::move(ownExecutable), {}, true, 1, ownStartTime});
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

std::optional<ProcessOrigin> FakeProcessTable::originOf(int pid) const
{
    const Process *p = find(pid);
    return p ? std::optional(ProcessOrigin{p->parentPid, p->startTime}) : std::nullopt;
}

std::optional<std::string> FakeProcessTable::workingDirectoryOf(int pid) const
{
    const Process *p = find(pid);
    return p ? p->workingDirectory : std::nullopt;
}

namespace {

class FollowedFake final : public Child {
public:
    FollowedFake(FakeProcessTable &table, int pid, std::uint64_t startTime)
        : m_table(table), m_pid(pid), m_startTime(startTime)
    {
    }
    ReadResult read(char *, std::size_t, std::size_t &got) override
    {
        got = 0;
        return ended() ? ReadResult::Closed : ReadResult::Nothing;
    }
    int pid() const override { return m_pid; }
    bool kill() override { return !ended() && m_table.terminate(m_pid); }
    bool reap() override { return ended(); }

private:
    bool ended() const
    {
        const std::optional<ProcessOrigin> o = m_table.originOf(m_pid);
        return !o || o->startTime != m_startTime;
    }
    FakeProcessTable &m_table;
    int m_pid;
    std::uint64_t m_startTime;
};

} // namespace

std::unique_ptr<Child> FakeProcessTable::follow(int pid, std::uint64_t startTime)
{
    const std::optional<ProcessOrigin> o = originOf(pid);
    if (!o || o->startTime != startTime)
        return nullptr;
    return std::make_unique<FollowedFake>(*this, pid, startTime);
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
