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
        if (name.rfind(kPrefix, 0) != 0 || name.find('.') != std::string::npos)
            continue;
        const int id = std::atoi(name.c_str() + sizeof kPrefix - 1);
        if (id > 0 && id != currentJob && !jobStillThere(id))
            std::filesystem::remove(entry.path(), ec);
    }
}

bool JobState::load(std::string &error)
{
    std::ifstream in(m_path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT)
            return true;
        error = m_path + ": " + std::strerror(errno);
        return false;
    }
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
    const std::string tmp = m_path + ".new";
    std::ostringstream text;
    text << "kv-escpos-1\r\n" << m_fingerprint << "\r\n" << attempt << "\r\n" << confirmed << "\r\n";
    const std::string bytes = text.str();
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
              ::fsync(fd) == 0;
    const int savedErrno = errno;
    if (fd >= 0)
        ::close(fd);
    ok = ok && ::rename(tmp.c_str(), m_path.c_str()) == 0;
    if (!ok) {
        error = "could not keep the job's state in " + m_path + ": " + std::strerror(ok ? errno : savedErrno);
        ::unlink(tmp.c_str());
    }
    return ok;
}

void JobState::remove() const { ::unlink(m_path.c_str()); }

} // namespace kvbackend
