#include "platform/process.h"

#include <cctype>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>

#include <dirent.h>
#include <unistd.h>

namespace kv::platform {
namespace {

std::string procPath(int pid, const char *entry)
{
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

std::optional<std::string> readLink(const std::string &path)
{
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0)
            return std::nullopt;
        if (std::size_t(n) < buf.size()) {
            buf.resize(std::size_t(n));
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

std::optional<std::string> readWhole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return s;
}

bool allDigits(const char *s)
{
    if (*s == '\0')
        return false;
    for (; *s; ++s) {
        if (!std::isdigit(static_cast<unsigned char>(*s)))
            return false;
    }
    return true;
}

class PosixProcessTable final : public ProcessTable {
public:
    explicit PosixProcessTable(std::function<int(int, int)> send) : m_send(std::move(send)) {}

    int ownPid() const override { return int(::getpid()); }

    std::vector<int> listPids() const override
    {
        std::vector<int> pids;
        DIR *dir = ::opendir("/proc");
        if (!dir)
            return pids;
        while (const dirent *e = ::readdir(dir)) {
            if (allDigits(e->d_name))
                pids.push_back(std::stoi(e->d_name));
        }
        ::closedir(dir);
        return pids;
    }

    std::optional<std::string> executableOf(int pid) const override
    {
        if (pid <= 0)
            return std::nullopt;
        return readLink(procPath(pid, "exe"));
    }

    std::vector<std::string> argumentsOf(int pid) const override
    {
        std::vector<std::string> args;
        if (pid <= 0)
            return args;
        const std::optional<std::string> raw = readWhole(procPath(pid, "cmdline"));
        if (!raw)
            return args;
        std::size_t start = 0;
        while (start < raw->size()) {
            std::size_t end = raw->find('\0', start);
            if (end == std::string::npos)
                end = raw->size();
            args.push_back(raw->substr(start, end - start));
            start = end + 1;
        }
        return args;
    }

    bool ownedByCurrentUser(int pid) const override
    {
        if (pid <= 0)
            return false;
        const std::optional<std::string> status = readWhole(procPath(pid, "status"));
        if (!status)
            return false;
        // "Uid:\treal\teffective\tsaved\tfs": the effective id decides, as it
        // does for who may signal whom.
        std::istringstream lines(*status);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind("Uid:", 0) != 0)
                continue;
            std::istringstream fields(line.substr(4));
            long real = -1;
            long effective = -1;
            fields >> real >> effective;
            return fields && effective == long(::geteuid());
        }
        return false;
    }

    bool terminate(int pid) override
    {
        if (pid <= 0)
            return false;
        return m_send(pid, SIGKILL) == 0;
    }

private:
    std::function<int(int, int)> m_send;
};

} // namespace

ProcessTable &systemProcessTable()
{
    static PosixProcessTable table([](int pid, int signal) { return ::kill(pid_t(pid), signal); });
    return table;
}

std::unique_ptr<ProcessTable> systemProcessTableSendingThrough(std::function<int(int, int)> send)
{
    return std::make_unique<PosixProcessTable>(std::move(send));
}

} // namespace kv::platform
