#include "shared/conffile.h"

#include "shared/cp1252.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace conffile {

namespace {

Content unusable(std::string reason)
{
    Content c;
    c.status = Content::Status::Unusable;
    c.reason = std::move(reason);
    return c;
}

const std::string kTooLarge = "larger than 1 MiB";

// Notepad's "Unicode" is UTF-16 after a byte-order mark. Read as bytes, its
// every other byte is a NUL and no key would be known.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian)
{
    std::string out;
    out.reserve(bytes.size() / 2);
    const auto unit = [&](std::size_t i) -> char32_t {
        const auto hi = static_cast<unsigned char>(bytes[bigEndian ? i : i + 1]);
        const auto lo = static_cast<unsigned char>(bytes[bigEndian ? i + 1 : i]);
        return char32_t(hi << 8 | lo);
    };
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
            cp1252::appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 2) - 0xDC00));
            i += 2;
        } else {
            cp1252::appendUtf8(out, u >= 0xD800 && u <= 0xDFFF ? char32_t(0xFFFD) : u);
        }
    }
    return out;
}

} // namespace

Content read(const std::string &path)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            Content c;
            c.reason = std::strerror(err);
            return c;
        }
        return unusable(std::strerror(err));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return unusable(std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return unusable(std::strerror(EISDIR));
    if (!S_ISREG(st.st_mode))
        return unusable("not a regular file");
    if (st.st_size > off_t(kMaxBytes))
        return unusable(kTooLarge);

    // The size may grow while reading: one byte more than allowed tells.
    std::string bytes(std::size_t(st.st_size) + 1, '\0');
    std::size_t got = 0;
    for (;;) {
        if (got == bytes.size()) {
            if (bytes.size() > kMaxBytes)
                return unusable(kTooLarge);
            bytes.resize(std::min(bytes.size() * 2, kMaxBytes + 1));
        }
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return unusable(std::strerror(errno));
        }
        if (n == 0)
            break;
        got += std::size_t(n);
    }
    bytes.resize(got);
    // Notepad starts a file it saves as UTF-8 with a byte-order mark; left
    // in, it would become part of the first key and hide that setting.
    const std::string_view content = bytes;
    Content c;
    c.status = Content::Status::Read;
    if (content.substr(0, 3) == "\xEF\xBB\xBF")
        c.text = cp1252::decodeToUtf8(content.substr(3));
    else if (content.substr(0, 2) == "\xFF\xFE" || content.substr(0, 2) == "\xFE\xFF")
        c.text = utf16ToUtf8(content.substr(2), content[0] == '\xFE');
    else
        c.text = cp1252::decodeToUtf8(content);
    return c;
}

} // namespace conffile
