// Shows what a receipt printer was sent, as a person would read it: text as
// text, ESC/POS commands by name ("[cut]", "[drawer pin 2]" …).
//
//   kv_receiptview FILE...        decode each job file once
//   kv_receiptview --watch DIR    decode every job-NNNNNN.bin that appears in
//                                 DIR (as the test printer stores them), in
//                                 order, until SIGINT or SIGTERM
//
// The bytes are the printer's: Windows-1252, so they are shown as UTF-8.
#include "shared/cp1252.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

std::string hexByte(unsigned char b)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

// The decoded text of one job. Commands the launcher sends have names; any
// other control byte is shown as its value, so nothing sent goes unseen.
std::string decodeEscpos(const std::string &bytes)
{
    std::string out;
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char b = at(i);
        const std::size_t left = bytes.size() - i;
        if (b == 0x1B && left >= 4 && at(i + 1) == 'c' && at(i + 2) == '0') {
            out += at(i + 3) == 2 ? "[receipt paper]" : "[paper " + hexByte(at(i + 3)) + "]";
            i += 4;
        } else if (b == 0x1B && left >= 5 && at(i + 1) == 'p') {
            out += at(i + 2) == 0 ? "[drawer pin 2]" : at(i + 2) == 1 ? "[drawer pin 5]" : "[drawer]";
            i += 5;
        } else if (b == 0x1B && left >= 2 && at(i + 1) == '@') {
            out += "[init]";
            i += 2;
        } else if (b == 0x1D && left >= 4 && at(i + 1) == 'V' && at(i + 2) == 66) {
            out += "[cut]\n";
            i += 4;
        } else if (b == '\n') {
            out += '\n';
            ++i;
        } else if (b < 0x20 || b == 0x7F) {
            out += "[" + hexByte(b) + "]";
            ++i;
        } else {
            // The code page's unused bytes come back as C1 controls.
            const char32_t c = cp1252::toUnicode(b);
            if (c >= 0x80 && c < 0xA0)
                out += "[" + hexByte(b) + "]";
            else
                cp1252::appendUtf8(out, c);
            ++i;
        }
    }
    return out;
}

bool readAll(const fs::path &path, std::string &bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

void show(const fs::path &job)
{
    std::string bytes;
    if (!readAll(job, bytes)) {
        std::fprintf(stderr, "kv_receiptview: cannot read %s\n", job.c_str());
        return;
    }
    std::printf("──── %s (%zu bytes) ────\n%s\n", job.filename().c_str(), bytes.size(),
                decodeEscpos(bytes).c_str());
    std::fflush(stdout);
}

int watch(const fs::path &dir)
{
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::set<std::string> seen;
    while (!g_stop) {
        std::error_code ec;
        std::set<std::string> jobs;
        for (const auto &entry : fs::directory_iterator(dir, ec)) {
            const std::string name = entry.path().filename();
            if (name.rfind("job-", 0) == 0 && name.size() > 8 && name.compare(name.size() - 4, 4, ".bin") == 0)
                jobs.insert(name);
        }
        // Names are zero-padded, so their order is the order of arrival.
        for (const auto &name : jobs) {
            if (seen.insert(name).second)
                show(dir / name);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--watch")
        return watch(argv[2]);
    if (argc < 2 || std::string(argv[1]).rfind("-", 0) == 0) {
        std::fprintf(stderr, "usage: kv_receiptview FILE... | kv_receiptview --watch DIR\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i)
        show(argv[i]);
    return 0;
}
