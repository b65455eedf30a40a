#include "jobstate.h"

#include <cups/cups.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kvbackend {

namespace {

const char kPrefix[] = "escpos-job-";

std::string fingerprintOf(const std::string &document)
{
    std::uint64_t h = 1469598103934665603ull; // FNV-1a
    for (const unsigned char c : document) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char out[48];
    std::snprintf(out, sizeof out, "%zu-%016llx", document.size(), static_cast<unsigned long long>(h));
    return out;
}

// Whether the print server still has the job waiting or printing; true
// when it cannot be asked, so nothing is removed on a guess.
bool jobStillThere(int jobId)
{
    ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    const std::string uri = "ipp://localhost/jobs/" + std::to_string(jobId);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "job-state");
    ipp_t *response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    const ipp_status_t status = cupsLastError();
    bool there = true;
    if (status == IPP_STATUS_ERROR_NOT_FOUND) {
        there = false;
    } else if (response && status <= IPP_STATUS_OK_EVENTS_COMPLETE) {
        ipp_attribute_t *state = ippFindAttribute(response, "job-state", IPP_TAG_ENUM);
        there = !state || ippGetInteger(state, 0) < IPP_JSTATE_CANCELED;
    }
    ippDelete(response);
    return there;
}

} // namespace

JobState::JobState(std::string directory, int jobId, const std::string &document)
    : m_path(directory + "/" + kPrefix + std::to_string(jobId)), m_jobId(jobId), m_fingerprint(fingerprintOf(document))
{
}

std::string JobState::directory()
{
    const char *dir = std::getenv("CUPS_CACHEDIR");
    return dir && *dir ? dir : "/var/cache/cups";
}

void JobState::sweep(const std::string &directory, int currentJob)
{
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(directory, ec)) {
        const std::string name = entry.path().filename();
        if (name.rfind(kPrefix, 0) != 0)
            continue;
        char *end = nullptr;
        const long id = std::strtol(name.c_str() + sizeof kPrefix - 1, &end, 10);
        const bool unfinished = std::string(end) == ".new"; // a run killed while it saved
        if (id <= 0 || (*end != '\0' && !unfinished))
            continue;
        if ((unfinished && id == currentJob) || (id != currentJob && !jobStillThere(static_cast<int>(id))))
            std::filesystem::remove(entry.path(), ec);
    }
}

bool JobState::load(std::string &error)
{
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        error = m_path + ": " + std::strerror(errno);
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
        error = m_path + ": " + std::strerror(readErrno);
        return false;
    }
    std::istringstream in(text);
    std::string magic, fingerprint;
    unsigned attempt = 0;
    std::size_t confirmedPieces = 0;
    if (!(in >> magic >> fingerprint >> attempt >> confirmedPieces) || magic != "kv-escpos-1") {
        error = m_path + " is not a job state this backend wrote";
        return false;
    }
    this->attempt = attempt;
    if (fingerprint == m_fingerprint)
        confirmed = confirmedPieces;
    return true;
}

bool JobState::save(std::string &error) const
{
    // Written beside, flushed to the disk, then renamed over: a power cut
    // leaves the old state or the new one, never an empty file.
    const std::string tmp = m_path + ".new";
    std::ostringstream text;
    text << "kv-escpos-1\r\n" << m_fingerprint << "\r\n" << attempt << "\r\n" << confirmed << "\r\n";
    const std::string bytes = text.str();
    const char *step = "creating";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
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
        ok = ::rename(tmp.c_str(), m_path.c_str()) == 0;
    }
    const int why = errno;
    if (fd >= 0)
        ::close(fd);
    if (!ok) {
        error = std::string("could not keep the job's state in ") + m_path + " (" + step + " " + tmp + "): " +
                std::strerror(why);
        ::unlink(tmp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the directory.
    const std::string dir = std::filesystem::path(m_path).parent_path();
    if (const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); d >= 0) {
        ::fsync(d);
        ::close(d);
    }
    return true;
}

void JobState::remove() const { ::unlink(m_path.c_str()); }

PrinterMemory::PrinterMemory(const std::string &directory, const std::string &deviceUri)
    : m_path(directory + "/escpos-printer-" + fingerprintOf(deviceUri))
{
}

bool PrinterMemory::answersProcessIds() const { return ::access(m_path.c_str(), F_OK) != 0; }

void PrinterMemory::setAnswersProcessIds(bool answers) const
{
    if (answers) {
        ::unlink(m_path.c_str());
    } else if (const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600); fd >= 0) {
        ::close(fd);
    }
}

} // namespace kvbackend
