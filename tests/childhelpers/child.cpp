// The child programs tests start: plain C++ without Qt, like any foreign
// program the launcher starts. One source, built under several names; the
// name chooses what it does. Each piece goes out in one unbuffered write, so
// the reader sees exactly the order written, and arguments it does not know
// (such as a trailing "-v stationid=3") are ignored.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include <unistd.h>

namespace {

// A write nobody reads any more (the launcher that held the pipe was killed)
// is dropped, as a program that carries on regardless would: a launcher
// killed before its children's first line must not end them.
void writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno != EINTR)
            return;
        if (n > 0)
            bytes.remove_prefix(std::size_t(n));
    }
}

} // namespace

int main(int argc, char **argv)
{
    const std::string_view name = argv[0];
    const long number = argc > 1 ? std::atol(argv[1]) : 0;
    if (name.ends_with("kv_child_echo")) {
        // Each argument as a line: out:TEXT, err:TEXT to standard error, cwd
        // the working directory, anything else as it is.
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            const bool tagged = a.starts_with("out:") || a.starts_with("err:");
            char cwd[PATH_MAX];
            if (a == "cwd")
                writeAll(1, std::string(::getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n");
            else
                writeAll(a.starts_with("err:") ? 2 : 1, (tagged ? a.substr(4) : a) + "\n");
        }
    } else {
        // kv_child_exit_after NUMBER, and copies of it under other names:
        // "running PID", NUMBER milliseconds later "exiting 0", and exits 0.
        writeAll(1, "running " + std::to_string(::getpid()) + "\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(number));
        writeAll(1, "exiting 0\n");
    }
    return 0;
}
