// kv_child_exit_after MS [CODE]: prints "running PID", waits MS milliseconds,
// prints "exiting CODE" and exits with CODE (default 0). Further arguments
// (a station id option, say) are ignored.
#include "helper_common.h"

int main(int argc, char **argv)
{
    const long ms = argc > 1 ? childhelper::toLong(argv[1], 0) : 0;
    const long code = argc > 2 ? childhelper::toLong(argv[2], 0) : 0;
    childhelper::writeAll(1, "running " + std::to_string(::getpid()) + "\n");
    childhelper::sleepMs(ms);
    childhelper::writeAll(1, "exiting " + std::to_string(code) + "\n");
    return int(code);
}
