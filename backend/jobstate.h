// What the printer has confirmed of one job, kept in CUPS's cache directory
// so that a retry, or a print server restarted in mid-job, sends only the
// receipts not yet on paper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvbackend {

class JobState {
public:
    JobState(std::string directory, int jobId, const std::string &document);

    // CUPS_CACHEDIR as the print server gives it, else Debian's.
    static std::string directory();
    // Removes what jobs the print server no longer has left behind (a job
    // cancelled while it waited for its retry never runs again to do it).
    static void sweep(const std::string &directory, int currentJob);

    int jobId() const { return m_jobId; }
    // A state written for another document (the job's data changed) is
    // ignored: the whole job is sent. False with `error` when the file could
    // not be read.
    bool load(std::string &error);
    // Written whole or not at all.
    bool save(std::string &error) const;
    void remove() const;

    std::size_t confirmed = 0;
    unsigned attempt = 0;

private:
    std::string m_path;
    int m_jobId;
    std::string m_fingerprint;
};

// What the backend found out about a printer across jobs: whether it
// answers process-ID requests. Kept beside the job states, per device URI.
class PrinterMemory {
public:
    PrinterMemory(const std::string &directory, const std::string &deviceUri);
    // True until a printer was found not to answer.
    bool answersProcessIds() const;
    void setAnswersProcessIds(bool answers) const;

private:
    std::string m_path;
};

} // namespace kvbackend
