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
    const std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    std::string_view content = bytes;
    if (content.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        content.remove_prefix(kByteOrderMark.size());
    Content c;
    c.status = Content::Status::Read;
    c.text = cp1252::decodeToUtf8(content);
    return c;
}

} // namespace conffile
