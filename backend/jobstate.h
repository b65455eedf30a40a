// What the printer has confirmed of one job, kept in CUPS's cache directory.
//
// The contract the launcher relies on:
//
// - A job is known by its name (the backend's title argument) and its
//   document (the job's bytes and number of copies), not by its number. A
//   job that the print server lost (power cut), or that was cancelled or
//   aborted there (`cancel`, a manager ending a job that looks stuck), and
//   is sent again under the SAME name with byte-identical data, as a new
//   job with a new number, resumes from what the printer confirmed for that
//   name and document: receipts confirmed on paper never print again, the
//   rest print.
// - The state of a completed job is kept as well, so that a completed job
//   the print server forgot (it writes its job files only every 30 s) and
//   which is sent again prints nothing and completes at once.
// - Exception, for a name used on purpose for every print of the same bytes
//   (the settings dialog's test print): when the print server still knows
//   the job that completed the state (same number and job-uuid) as
//   completed, a new job of that name and document is a new print and
//   prints whole. A restart of the same job number (`lp -i N -H restart`)
//   after it completed prints nothing.
// - Another document under the same name (other bytes or copies) is another
//   job: it prints whole. A name must therefore never be reused for a
//   different print of the same bytes while the earlier one may still be
//   resent.
// - States are swept kKeep (7 days) after they were last written, whatever
//   became of their job.
// - Two runs of the same name and document never print at once: the second
//   waits for the first (a lock file beside the state) and then resumes
//   from what it confirmed.
//
// The backend runs as lp while the jobs belong to the till's user, and
// CUPS's default JobPrivateValues hide the names of that user's jobs from
// lp: nothing here reads a job name from the print server. What it asks of
// other jobs (state and job-uuid by number) is not private.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kvbackend {

class JobState {
public:
    // `title` is the job's name; `total` the pieces the job is cut into
    // (copies included).
    JobState(std::string directory, int jobId, const std::string &title, const std::string &document,
             std::size_t total);
    ~JobState();
    JobState(const JobState &) = delete;
    JobState &operator=(const JobState &) = delete;

    // CUPS_CACHEDIR as the print server gives it, else Debian's.
    static std::string directory();
    // Removes the states not written for kKeep, and what they left.
    static void sweep(const std::string &directory);
    static constexpr std::chrono::hours kKeep{24 * 7};

    int jobId() const { return m_jobId; }
    // Where the state is kept: by the job's name and document.
    const std::string &path() const { return m_path; }

    enum class Lock { Held, Busy, Failed };
    // Takes this name and document for this run. Busy: another run holds it
    // (only without `wait`); Failed with `error`, or with no error when a
    // signal ended the wait.
    Lock lock(bool wait, std::string &error);

    // Whether the print server still knows job `id` with job-uuid `uuid` as
    // completed.
    using KnownCompleted = std::function<bool(int id, const std::string &uuid)>;
    // Reads the state of this name and document; `restarted` set when it was
    // completed by a job the print server still knows as completed, so this
    // job prints whole. False with `error` when the file could not be read
    // (the whole job is then sent).
    bool load(std::string &error, const KnownCompleted &knownCompleted, bool &restarted);
    // Written whole or not at all, with this job's number and uuid.
    bool save(std::string &error) const;

    std::size_t confirmed = 0;
    // Counts on across the runs and numbers of the job, so that no answer
    // meant for an earlier run ever confirms a piece of this one.
    unsigned attempt = 0;
    // This job's job-uuid at the print server ("" when not known).
    std::string uuid;

private:
    std::string m_directory;
    std::string m_path;
    int m_jobId;
    std::string m_title;
    std::string m_fingerprint;
    std::size_t m_total;
    int m_lock = -1;
};

// What the print server says of job `id`: its job-state (0 when it does not
// know the job) and job-uuid; nullopt when it could not be asked.
struct ServerJob {
    int state = 0;
    std::string uuid;
};
std::optional<ServerJob> askPrintServer(int id);

// What the backend found out about a printer across connections: whether it
// answers process-ID requests. Kept beside the job states, per device URI.
// Only a hint for how long to wait for the answer: every connection asks.
class PrinterMemory {
public:
    PrinterMemory(const std::string &directory, const std::string &deviceUri);
    // Found silent on kSilentAfter connections in a row, none answered since.
    bool rememberedSilent() const;
    void probeAnswered() const;
    void probeUnanswered() const;
    static constexpr unsigned kSilentAfter = 3;

private:
    unsigned streak() const;
    std::string m_path;
};

} // namespace kvbackend
