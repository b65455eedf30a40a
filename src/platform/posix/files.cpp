#include "platform/files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
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

bool writeAll(int fd, std::string_view bytes)
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

FileReplacement::~FileReplacement()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_temp.empty())
        ::unlink(m_temp.c_str());
}

bool FileReplacement::begin(const std::string &path, unsigned mode, std::string *error)
{
    // rename cannot put a file where a directory is; say so before a
    // temporary file is made at all.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return fail(error, EISDIR);
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(error, errno);
    m_path = path;
    m_temp = temp;
    m_fd = fd;
    if (::fchmod(fd, mode_t(mode)) != 0)
        return fail(error, errno);
    return true;
}

bool FileReplacement::write(std::string_view bytes, std::string *error)
{
    if (m_fd < 0)
        return fail(error, EBADF);
    if (!writeAll(m_fd, bytes))
        return fail(error, errno);
    return true;
}

bool FileReplacement::commit(std::string *error)
{
    if (m_fd < 0)
        return fail(error, EBADF);
    struct stat old {};
    if (::stat(m_path.c_str(), &old) == 0 && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
        // Only root may give a file away; anyone else keeps it as before.
        if (::fchown(m_fd, old.st_uid, old.st_gid) != 0 && errno != EPERM)
            return fail(error, errno);
    }
    if (::fsync(m_fd) != 0) {
        const int err = errno;
        return fail(error, err);
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 || ::rename(m_temp.c_str(), m_path.c_str()) != 0)
        return fail(error, errno);
    m_temp.clear();
    // The rename is durable only once the directory entry is on disk.
    const int dfd = ::open(directoryOf(m_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool replaceFile(const std::string &path, std::string_view bytes, unsigned mode, std::string *error)
{
    FileReplacement f;
    return f.begin(path, mode, error) && f.write(bytes, error) && f.commit(error);
}

bool appendLinePrivately(const std::string &path, std::string_view line, std::string *error)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return fail(error, errno);
    const auto failClosing = [&](int err) {
        ::close(fd);
        return fail(error, err);
    };
    // Someone else's file the launcher may write to: its mode is theirs.
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0 && errno != EPERM)
        return failClosing(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return failClosing(errno);
    std::string bytes;
    if (st.st_size > 0) {
        char last = 0;
        const ssize_t n = ::pread(fd, &last, 1, st.st_size - 1);
        if (n != 1)
            return failClosing(n < 0 ? errno : EIO);
        if (last != '\r' && last != '\n')
            bytes = "\r\n";
    }
    bytes.append(line);
    if (!writeAll(fd, bytes) || ::fsync(fd) != 0)
        return failClosing(errno);
    if (::close(fd) != 0)
        return fail(error, errno);
    return true;
}

int removeLeftoverTemporaries(const std::string &path)
{
    const auto slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR *dir = ::opendir(directoryOf(path).c_str());
    if (!dir)
        return 0;
    int removed = 0;
    while (const dirent *e = ::readdir(dir)) {
        // mkostemp's names: the path, a dot and six letters or digits.
        const std::string_view name(e->d_name);
        if (name.size() != base.size() + 7 || name.substr(0, base.size()) != base || name[base.size()] != '.')
            continue;
        const auto suffix = name.substr(base.size() + 1);
        if (!std::all_of(suffix.begin(), suffix.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (::unlinkat(::dirfd(dir), e->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

bool makePrivateIfOwned(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool tighten = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                         (st.st_mode & 0077) != 0;
    const bool changed = tighten && ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    ::close(fd);
    return changed;
}

} // namespace kv::platform
