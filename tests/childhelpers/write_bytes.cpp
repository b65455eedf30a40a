// kv_child_write_bytes STEP...: does each step in order and exits 0.
//   HEX        writes those bytes (two hex digits each) in one write to
//              standard output
//   e:HEX      the same to standard error
//   wait:PATH  waits until PATH exists (at most a minute), so that a test
//              can read what came so far before the next bytes are written
#include "helper_common.h"

namespace {

std::string fromHex(std::string_view hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(char(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a.rfind("wait:", 0) == 0) {
            if (!childhelper::waitForFile(std::string(a.substr(5))))
                return 2;
        } else if (a.rfind("e:", 0) == 0) {
            childhelper::writeAll(2, fromHex(a.substr(2)));
        } else {
            childhelper::writeAll(1, fromHex(a));
        }
    }
    return 0;
}
