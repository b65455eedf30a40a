// kv_child_echo ARG...: writes each argument as one line and exits 0.
//   out:TEXT  TEXT to standard output      err:TEXT  TEXT to standard error
//   cwd       the working directory to standard output
//   anything else, as it is, to standard output
#include "helper_common.h"

#include <climits>

int main(int argc, char **argv)
{
    using childhelper::writeAll;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a.rfind("err:", 0) == 0) {
            writeAll(2, std::string(a.substr(4)) + "\n");
        } else if (a.rfind("out:", 0) == 0) {
            writeAll(1, std::string(a.substr(4)) + "\n");
        } else if (a == "cwd") {
            char buf[PATH_MAX];
            writeAll(1, std::string(::getcwd(buf, sizeof buf) ? buf : "?") + "\n");
        } else {
            writeAll(1, std::string(a) + "\n");
        }
    }
    return 0;
}
