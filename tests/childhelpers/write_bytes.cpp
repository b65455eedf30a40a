// kv_child_write_bytes STEP...: does each step in order and exits 0.
//   HEX        writes those bytes (two hex digits each) in one write to
//              standard output
//   HEX*N      the same, the bytes N times over, still in one write
//   e:HEX      the same to standard error
//   close      closes standard output and standard error, so the pipe the
//              launcher reads ends while the helper goes on
//   wait:PATH  waits until PATH exists (at most a minute), so that a test
//              can read what came so far before the next bytes are written
#include "helper_common.h"

namespace {

std::string fromHex(std::string_view hex)
{
    long times = 1;
    if (const std::size_t star = hex.find('*'); star != std::string_view::npos) {
        times = childhelper::toLong(std::string(hex.substr(star + 1)).c_str(), 1);
        hex = hex.substr(0, star);
    }
    std::string once;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        once.push_back(char(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    std::string out;
    for (long i = 0; i < times; ++i)
        out += once;
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
        } else if (a == "close") {
            ::close(1);
            ::close(2);
        } else if (a.rfind("e:", 0) == 0) {
            childhelper::writeAll(2, fromHex(a.substr(2)));
        } else {
            childhelper::writeAll(1, fromHex(a));
        }
    }
    return 0;
}
