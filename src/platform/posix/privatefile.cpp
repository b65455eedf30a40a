#include "platform/privatefile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv::platform {

namespace {

bool fail(std::string *error, int err)
{
    if (error)
        *error = std::strerror(err);
    return false;
}

bool writeAll(int fd, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

std::string directoryOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool replaceFilePrivately(const std::string &path, const std::string &bytes, std::string *error)
{
    // A directory where the file should be cannot be replaced by rename;
    // say so before leaving a temporary file behind.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return fail(error, EISDIR);

    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(error, errno);
    // mkostemp already creates 0600; fchmod guards against an odd libc.
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0 || !writeAll(fd, bytes) || ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        return fail(error, err);
    }
    if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        return fail(error, err);
    }
    // The rename is durable only once the directory entry is on disk.
    const int dfd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool appendFilePrivately(const std::string &path, const std::string &bytes, std::string *error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return fail(error, errno);
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0 || !writeAll(fd, bytes) || ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        return fail(error, err);
    }
    if (::close(fd) != 0)
        return fail(error, errno);
    return true;
}

} // namespace kv::platform
