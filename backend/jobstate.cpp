#include "jobstate.h"

#include <cups/cups.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <utility>

namespace kvbackend {

namespace {

const char kPrefix[] = "escpos-state-";
// States written by the backend before states were kept by name; only swept.
const char kOldPrefix[] = "escpos-job-";
const char kMagic[] = "kv-escpos-2";

// FNV-1a: names files and tells documents apart; nothing to keep secret.
std::uint64_t fnv1a(const std::string &bytes)
{
    std::uint64_t h = 1469598103934665603ull;
    for (const unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string fingerprintOf(const std::string &document)
{
    char out[48];
    std::snprintf(out, sizeof out, "%zu-%016llx", document.size(), static_cast<unsigned long long>(fnv1a(document)));
    return out;
}

// A job's name as one line of the state file.
std::string oneLine(std::string title)
{
    for (char &c : title)
        if (c == '\r' || c == '\n')
            c = ' ';
    return title;
}

struct Saved {
    std::string fingerprint, uuid, title;
    std::size_t total = 0, confirmed = 0;
    unsigned attempt = 0;
    int jobId = 0;
};

// Reads a state file: false with `error` when it cannot be read or is not
// one; `missing` when there is none.
bool readState(const std::string &path, Saved &saved, bool &missing, std::string &error)
{
    missing = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        missing = errno == ENOENT;
        if (!missing)
            error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    const int readErrno = errno;
    ::close(fd);
    if (n < 0) {
        error = path + ": " + std::strerror(readErrno);
        return false;
    }
    std::istringstream in(text);
    std::string magic;
    if (!(in >> magic >> saved.fingerprint >> saved.total >> saved.attempt >> saved.confirmed >> saved.jobId >>
          saved.uuid) ||
        magic != kMagic) {
        error = path + " is not a job state this backend wrote";
        return false;
    }
    if (saved.uuid == "-")
        saved.uuid.clear();
    in.ignore(2);
    std::getline(in, saved.title);
    if (!saved.title.empty() && saved.title.back() == '\r')
        saved.title.pop_back();
    return true;
}

void syncDirectory(const std::string &dir)
{
    if (const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); d >= 0) {
        ::fsync(d);
        ::close(d);
    }
}

// Written beside, flushed to the disk, then renamed over: a power cut
// leaves the old file or the new one, never an empty one.
bool replaceFile(const std::string &path, const std::string &bytes, std::string &error)
{
    const std::string tmp = path + ".new";
    const char *step = "creating";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool ok = fd >= 0;
    if (ok) {
        step = "writing";
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n >= 0 && static_cast<std::size_t>(n) != bytes.size())
            errno = ENOSPC; // a short write to a small file: the disk is full
        ok = n == static_cast<ssize_t>(bytes.size());
        if (ok) {
            step = "flushing";
            ok = ::fsync(fd) == 0;
        }
    }
    if (ok) {
        step = "renaming";
        ok = ::rename(tmp.c_str(), path.c_str()) == 0;
    }
    const int why = errno;
    if (fd >= 0)
        ::close(fd);
    if (!ok) {
        error = path + " (" + step + " " + tmp + "): " + std::strerror(why);
        ::unlink(tmp.c_str());
    }
    return ok;
}

bool sameFile(int fd, const std::string &path)
{
    struct stat held {}, named {};
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
           held.st_dev == named.st_dev;
}

} // namespace

JobState::JobState(std::string directory, int jobId, const std::string &title, const std::string &document,
                   std::size_t total)
    : m_directory(std::move(directory)), m_jobId(jobId), m_title(oneLine(title)),
      m_fingerprint(fingerprintOf(document)), m_total(total)
{
    char key[24];
    std::snprintf(key, sizeof key, "%016llx",
                  static_cast<unsigned long long>(fnv1a(m_title + '\0' + m_fingerprint + '\0' + std::to_string(total))));
    m_path = m_directory + "/" + kPrefix + key;
}

JobState::~JobState()
{
    if (m_lock >= 0)
        ::close(m_lock);
}

std::string JobState::directory()
{
    const char *dir = std::getenv("CUPS_CACHEDIR");
    return dir && *dir ? dir : "/var/cache/cups";
}

void JobState::sweep(const std::string &directory)
{
    std::error_code ec;
    const auto now = std::filesystem::file_time_type::clock::now();
    for (const auto &entry : std::filesystem::directory_iterator(directory, ec)) {
        const std::string name = entry.path().filename();
        const bool mine = name.rfind(kPrefix, 0) == 0, old = name.rfind(kOldPrefix, 0) == 0;
        const auto written = entry.last_write_time(ec);
        if ((!mine && !old) || ec || now - written <= kKeep)
            continue;
        std::string state = entry.path();
        for (const std::string suffix : {".new", ".lock"})
            if (state.ends_with(suffix))
                state.resize(state.size() - suffix.size());
        // A lock file goes with its state, or alone when it has none.
        if (state != entry.path().string() && name.ends_with(".lock") && std::filesystem::exists(state, ec))
            continue;
        // Never under a run of the job: it holds the lock while it runs.
        const std::string lockPath = state + ".lock";
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        std::filesystem::remove(entry.path(), ec);
        if (fd >= 0) {
            // A run that opened the lock file meanwhile sees it is gone.
            if (!std::filesystem::exists(state, ec))
                ::unlink(lockPath.c_str());
            ::close(fd);
        }
    }
}

JobState::Lock JobState::lock(bool wait, std::string &error)
{
    const std::string lockPath = m_path + ".lock";
    for (;;) {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            error = "could not lock " + lockPath + ": " + std::strerror(errno);
            return Lock::Failed;
        }
        if (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
            const int why = errno;
            ::close(fd);
            if (why == EWOULDBLOCK && !wait)
                return Lock::Busy;
            if (why != EINTR)
                error = "could not lock " + lockPath + ": " + std::strerror(why);
            return Lock::Failed;
        }
        // A sweep may have removed the file between the open and the lock.
        if (sameFile(fd, lockPath)) {
            m_lock = fd;
            return Lock::Held;
        }
        ::close(fd);
    }
}

bool JobState::load(std::string &error, const KnownCompleted &knownCompleted, bool &restarted)
{
    restarted = false;
    Saved saved;
    bool missing = false;
    if (!readState(m_path, saved, missing, error))
        return missing;
    attempt = saved.attempt;
    // A hash collision of two jobs' keys is a state of another job.
    if (saved.fingerprint != m_fingerprint || saved.total != m_total || saved.title != m_title)
        return true;
    confirmed = std::min(saved.confirmed, m_total);
    if (confirmed == m_total && saved.jobId != m_jobId && !saved.uuid.empty() && knownCompleted &&
        knownCompleted(saved.jobId, saved.uuid)) {
        confirmed = 0;
        restarted = true;
    }
    return true;
}

bool JobState::save(std::string &error) const
{
    std::ostringstream text;
    text << kMagic << "\r\n"
         << m_fingerprint << "\r\n"
         << m_total << "\r\n"
         << attempt << "\r\n"
         << confirmed << "\r\n"
         << m_jobId << "\r\n"
         << (uuid.empty() ? "-" : uuid) << "\r\n"
         << m_title << "\r\n";
    std::string why;
    if (!replaceFile(m_path, text.str(), why)) {
        error = "could not keep the job's state in " + why;
        return false;
    }
    // The rename itself reaches the disk with the directory.
    syncDirectory(m_directory);
    return true;
}

std::optional<ServerJob> askPrintServer(int id)
{
    ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    const std::string uri = "ipp://localhost/jobs/" + std::to_string(id);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    // Neither is among CUPS's private job values, so lp reads them for any
    // user's job (the job's name it could not).
    static const char *const wanted[] = {"job-state", "job-uuid"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, wanted);
    ipp_t *response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    const ipp_status_t status = cupsLastError();
    std::optional<ServerJob> job;
    if (status == IPP_STATUS_ERROR_NOT_FOUND) {
        job = ServerJob{};
    } else if (response && status <= IPP_STATUS_OK_EVENTS_COMPLETE) {
        job = ServerJob{};
        if (ipp_attribute_t *a = ippFindAttribute(response, "job-state", IPP_TAG_ENUM))
            job->state = ippGetInteger(a, 0);
        if (ipp_attribute_t *a = ippFindAttribute(response, "job-uuid", IPP_TAG_URI))
            job->uuid = ippGetString(a, 0, nullptr);
    }
    ippDelete(response);
    return job;
}

PrinterMemory::PrinterMemory(const std::string &directory, const std::string &deviceUri)
    : m_path(directory + "/escpos-printer-" + fingerprintOf(deviceUri))
{
}

unsigned PrinterMemory::streak() const
{
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    char buf[16] = {};
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    // A file of an earlier backend, empty: found silent once.
    return n <= 0 ? 1u : static_cast<unsigned>(std::strtoul(buf, nullptr, 10));
}

bool PrinterMemory::rememberedSilent() const { return streak() >= kSilentAfter; }

void PrinterMemory::probeAnswered() const { ::unlink(m_path.c_str()); }

void PrinterMemory::probeUnanswered() const
{
    std::string ignored;
    replaceFile(m_path, std::to_string(std::min(streak() + 1, kSilentAfter)) + "\n", ignored);
}

} // namespace kvbackend
