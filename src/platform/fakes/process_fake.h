// A process table that exists only in memory, for tests of code that looks
// processes up or ends them (start-up ending an older launcher, the exit
// menu's program ends) without touching the machine's real processes.
#pragma once

#include "platform/process.h"

#include <string>
#include <vector>

namespace kv::platform {

class FakeProcessTable final : public ProcessTable {
public:
    struct Process {
        int pid = 0;
        std::optional<std::string> executable; // nothing: unreadable
        std::vector<std::string> arguments;
        bool ownedByCurrentUser = true;
        int parentPid = 1;
        std::uint64_t startTime = 0;
        std::optional<std::string> workingDirectory = std::nullopt;
    };

    // The launcher itself, pid `ownPid`, running `ownExecutable`, started at `ownStartTime`.
    FakeProcessTable(int ownPid, std::string ownExecutable, std::uint64_t ownStartTime = 0);

    // Adds a process at the end of the list order.
    void add(Process p) { m_processes.push_back(std::move(p)); }
    bool running(int pid) const { return find(pid) != nullptr; }
    // Every pid terminate() was asked to end, in order, refused ones included.
    const std::vector<int> &terminateCalls() const { return m_terminateCalls; }

    int ownPid() const override { return m_ownPid; }
    std::vector<int> listPids() const override;
    std::optional<std::string> executableOf(int pid) const override { return field(pid, &Process::executable); }
    std::vector<std::string> argumentsOf(int pid) const override { return field(pid, &Process::arguments); }
    bool ownedByCurrentUser(int pid) const override { return field(pid, &Process::ownedByCurrentUser); }
    // Removes the process; false for pids of 0 or below and unknown ones.
    bool terminate(int pid) override;
    std::optional<ProcessOrigin> originOf(int pid) const override;
    std::optional<std::string> workingDirectoryOf(int pid) const override
    {
        return field(pid, &Process::workingDirectory);
    }
    // What these tests look up is never followed: a caller that would is
    // told so, rather than given a process that behaves like none.
    std::unique_ptr<Child> follow(int pid, std::uint64_t startTime) override;

private:
    const Process *find(int pid) const;
    // A field of the process, or its empty value when there is no such process.
    template <typename T> T field(int pid, T Process::*member) const
    {
        const Process *p = find(pid);
        return p ? p->*member : T{};
    }

    int m_ownPid;
    std::vector<Process> m_processes;
    std::vector<int> m_terminateCalls;
};

} // namespace kv::platform
