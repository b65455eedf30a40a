// kv_child_grandchild PATH: starts a grandchild that keeps the inherited
// standard output (the launcher's pipe) open, prints
// "child PID grandchild PID" and exits at once. The grandchild waits until
// PATH exists (at most a minute), prints "grandchild done", creates
// PATH.done (so a test sees that the write did not kill it) and exits.
// When PATH is a FIFO the grandchild sleeps in opening it instead, so that
// hundreds of them cost nothing until a test opens the FIFO to let them all go.
#include "helper_common.h"

#include <fcntl.h>
#include <sys/stat.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const pid_t grandchild = ::fork();
    if (grandchild < 0)
        return 3;
    if (grandchild == 0) {
        struct stat st;
        if (::stat(argv[1], &st) == 0 && S_ISFIFO(st.st_mode)) {
            ::alarm(60); // never wait longer than a minute
            ::close(::open(argv[1], O_RDONLY));
        } else {
            childhelper::waitForFile(argv[1]);
        }
        childhelper::writeAll(1, "grandchild done\n");
        ::close(::open((std::string(argv[1]) + ".done").c_str(), O_WRONLY | O_CREAT, 0600));
        std::_Exit(0);
    }
    childhelper::writeAll(1, "child " + std::to_string(::getpid()) + " grandchild "
                                 + std::to_string(grandchild) + "\n");
    return 0;
}
