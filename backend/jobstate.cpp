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
#include <utility>

namespace kvbackend {

namespace {

const char kPrefix[] = "escpos-job-";

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

std::string hexHash(const std::string &text)
{
    char out[24];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(fnv1a(text)));
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

enum class Fate {
    Live,     // waiting or printing: its state is its own
    Finished, // completed, cancelled or aborted
    Gone,     // unknown to the print server, or its number now another job's
    Unknown,  // the print server could not be asked: nothing is done on a guess
};

// What became of job `jobId` named `title` ("" when not known).
Fate fateOf(int jobId, const std::string &title)
{
    ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    const std::string uri = "ipp://localhost/jobs/" + std::to_string(jobId);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    static const char *const wanted[] = {"job-state", "job-name"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, wanted);
    ipp_t *response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    const ipp_status_t status = cupsLastError();
    Fate fate = Fate::Unknown;
    if (status == IPP_STATUS_ERROR_NOT_FOUND) {
        fate = Fate::Gone;
    } else if (response && status <= IPP_STATUS_OK_EVENTS_COMPLETE) {
        ipp_attribute_t *state = ippFindAttribute(response, "job-state", IPP_TAG_ENUM);
        ipp_attribute_t *name = ippFindAttribute(response, "job-name", IPP_TAG_NAME);
        // A print server that came back without its jobs numbers anew: the
        // number may belong to another job by now.
        if (!title.empty() && name && oneLine(ippGetString(name, 0, nullptr)) != title)
            fate = Fate::Gone;
        else
            fate = state && ippGetInteger(state, 0) >= IPP_JSTATE_CANCELED ? Fate::Finished : Fate::Live;
    }
    ippDelete(response);
    return fate;
}

struct Saved {
    std::string fingerprint, title;
    unsigned attempt = 0;
    std::size_t confirmed = 0;
};

// Reads a state file: false with `error` when it cannot be read or is not
// one; `missing` when there is none.
bool readState(const std::string &path, Saved &saved, bool &missing, std::string &error)
{
    missing = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
    if (!(in >> magic >> saved.fingerprint >> saved.attempt >> saved.confirmed) || magic != "kv-escpos-1") {
        error = path + " is not a job state this backend wrote";
        return false;
    }
    // The name, on a line of its own after the counts (none in older states).
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

// "escpos-job-ID[-KEY][.new]": the job's number, its key ("" in states
// written before keys) and whether the file is a save cut short.
bool parseName(const std::string &name, long &id, std::string &key, bool &unfinished)
{
    if (name.rfind(kPrefix, 0) != 0)
        return false;
    char *end = nullptr;
    id = std::strtol(name.c_str() + sizeof kPrefix - 1, &end, 10);
    std::string rest(end);
    unfinished = rest.size() >= 4 && rest.compare(rest.size() - 4, 4, ".new") == 0;
    if (unfinished)
        rest.resize(rest.size() - 4);
    key.clear();
    if (!rest.empty()) {
        if (rest.size() != 17 || rest[0] != '-')
            return false;
        key = rest.substr(1);
    }
    return id > 0;
}

} // namespace

JobState::JobState(std::string directory, int jobId, const std::string &title, const std::string &document)
    : m_directory(std::move(directory)), m_jobId(jobId), m_title(oneLine(title)), m_fingerprint(fingerprintOf(document))
{
    m_key = hexHash(m_title + '\0' + m_fingerprint);
    m_path = m_directory + "/" + kPrefix + std::to_string(jobId) + "-" + m_key;
}

std::string JobState::directory()
{
    const char *dir = std::getenv("CUPS_CACHEDIR");
    return dir && *dir ? dir : "/var/cache/cups";
}

void JobState::sweep(const std::string &directory, int currentJob)
{
    std::error_code ec;
    const auto now = std::filesystem::file_time_type::clock::now();
    for (const auto &entry : std::filesystem::directory_iterator(directory, ec)) {
        long id = 0;
        std::string key;
        bool unfinished = false;
        if (!parseName(entry.path().filename(), id, key, unfinished))
            continue;
        bool remove = false;
        if (id == currentJob) {
            remove = unfinished; // this job's own save cut short
        } else {
            Saved saved;
            bool missing = false;
            std::string ignored;
            if (!unfinished)
                readState(entry.path(), saved, missing, ignored);
            switch (fateOf(static_cast<int>(id), saved.title)) {
            case Fate::Live:
            case Fate::Unknown: break;
            case Fate::Finished: remove = true; break;
            case Fate::Gone: {
                // Its job may yet come back under its name (a launcher
                // sending again what a dead print server lost, even after a
                // night without power); a state without a name never can.
                const auto written = entry.last_write_time(ec);
                remove = unfinished || key.empty() || saved.title.empty() || ec || now - written > kKeepGone;
                break;
            }
            }
        }
        if (remove)
            std::filesystem::remove(entry.path(), ec);
    }
}

bool JobState::adoptGoneNamesake(std::string &error)
{
    // First the same name and document under another number, then this
    // number's state of another document: its attempts count on, so that no
    // answer to an earlier run matches.
    for (const bool namesake : {true, false}) {
        std::error_code ec;
        for (const auto &entry : std::filesystem::directory_iterator(m_directory, ec)) {
            long id = 0;
            std::string key;
            bool unfinished = false;
            if (!parseName(entry.path().filename(), id, key, unfinished) || unfinished)
                continue;
            if (namesake) {
                // The same name and document while that job still prints is
                // another copy, not this one sent again.
                if (key != m_key || id == m_jobId || fateOf(static_cast<int>(id), m_title) != Fate::Gone)
                    continue;
            } else if (id != m_jobId) {
                continue;
            }
            if (::rename(entry.path().c_str(), m_path.c_str()) != 0) {
                error = "could not take over " + entry.path().string() + ": " + std::strerror(errno);
                return false;
            }
            syncDirectory(m_directory);
            return true;
        }
    }
    return true;
}

bool JobState::load(std::string &error)
{
    Saved saved;
    bool missing = false;
    if (!readState(m_path, saved, missing, error)) {
        if (!missing)
            return false;
        if (!adoptGoneNamesake(error))
            return false;
        if (!readState(m_path, saved, missing, error))
            return missing;
    }
    attempt = saved.attempt;
    if (saved.fingerprint == m_fingerprint)
        confirmed = saved.confirmed;
    return true;
}

bool JobState::save(std::string &error) const
{
    // Written beside, flushed to the disk, then renamed over: a power cut
    // leaves the old state or the new one, never an empty file.
    const std::string tmp = m_path + ".new";
    std::ostringstream text;
    text << "kv-escpos-1\r\n"
         << m_fingerprint << "\r\n"
         << attempt << "\r\n"
         << confirmed << "\r\n"
         << m_title << "\r\n";
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
    syncDirectory(m_directory);
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
