// kv_child_grandchild PATH: starts a grandchild that keeps the inherited
// standard output (the launcher's pipe) open, prints
// "child PID grandchild PID" and exits at once. The grandchild waits until
// PATH exists (at most a minute), prints "grandchild done", creates
// PATH.done (so a test sees that the write did not kill it) and exits.
#include "helper_common.h"

#include <fcntl.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const pid_t grandchild = ::fork();
    if (grandchild < 0)
        return 3;
    if (grandchild == 0) {
        childhelper::waitForFile(argv[1]);
        childhelper::writeAll(1, "grandchild done\n");
        ::close(::open((std::string(argv[1]) + ".done").c_str(), O_WRONLY | O_CREAT, 0600));
        std::_Exit(0);
    }
    childhelper::writeAll(1, "child " + std::to_string(::getpid()) + " grandchild "
                                 + std::to_string(grandchild) + "\n");
    return 0;
}
