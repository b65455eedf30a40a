// kv_child_flood BYTES: writes BYTES bytes to standard output, the letters
// a to z over and over (byte i is 'a' + i % 26), and exits 0.
#include "helper_common.h"

int main(int argc, char **argv)
{
    const long total = argc > 1 ? childhelper::toLong(argv[1], 0) : 0;
    std::string block;
    for (long i = 0; i < total; ++i) {
        block.push_back(char('a' + i % 26));
        if (block.size() == 4096) {
            childhelper::writeAll(1, block);
            block.clear();
        }
    }
    childhelper::writeAll(1, block);
    return 0;
}
