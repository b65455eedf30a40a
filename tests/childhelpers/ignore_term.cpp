// kv_child_ignore_term [MS]: ignores SIGTERM, prints "ready PID" and waits
// MS milliseconds (default a minute) before it exits 0. Only SIGKILL (or the
// time running out) ends it early.
#include "helper_common.h"

#include <csignal>

int main(int argc, char **argv)
{
    std::signal(SIGTERM, SIG_IGN);
    const long ms = argc > 1 ? childhelper::toLong(argv[1], 60000) : 60000;
    childhelper::writeAll(1, "ready " + std::to_string(::getpid()) + "\n");
    childhelper::sleepMs(ms);
    return 0;
}
