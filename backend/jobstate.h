// What the printer has confirmed of one job, kept in CUPS's cache directory
// so that a retry, or a print server restarted in mid-job, sends only the
// receipts not yet on paper. A print server that dies with the till comes
// back without a job it had not yet written out; the launcher then sends it
// again under its name with the same bytes, and the print server gives it
// another number. So a state is found by the job's name and document too,
// and a state whose job the print server no longer knows is kept a while
// for that job to come back.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kvbackend {

class JobState {
public:
    // `title` is the job's name (the backend's title argument).
    JobState(std::string directory, int jobId, const std::string &title, const std::string &document);

    // CUPS_CACHEDIR as the print server gives it, else Debian's.
    static std::string directory();
    // Removes what finished jobs left behind (a job cancelled while it
    // waited for its retry never runs again to do it), and the states of
    // jobs the print server no longer knows once they are older than
    // kKeepGone: until then their job may come back under a new number.
    static void sweep(const std::string &directory, int currentJob);
    static constexpr std::chrono::hours kKeepGone{24 * 7};

    int jobId() const { return m_jobId; }
    // Where the state is kept: by the job's number, name and document.
    const std::string &path() const { return m_path; }
    // A state written for another document (the job's data changed) is
    // ignored: the whole job is sent. Without a state of its own number, the
    // job takes over the state of a job of the same name and document that
    // the print server no longer knows (the same job, sent again). False
    // with `error` when the file could not be read.
    bool load(std::string &error);
    // Written whole or not at all.
    bool save(std::string &error) const;
    void remove() const;

    std::size_t confirmed = 0;
    unsigned attempt = 0;

private:
    bool adoptGoneNamesake(std::string &error);

    std::string m_directory;
    std::string m_key; // the name and document, as part of the file name
    std::string m_path;
    int m_jobId;
    std::string m_title;
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
