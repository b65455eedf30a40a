// The "escpos" CUPS backend: a job for an ESC/POS receipt printer is done
// only when the printer says it has printed it.
//
// A plain socket queue counts a job done once its bytes are in the socket;
// a printer that restarts (a paper jam cleared) or resets the connection then
// loses every receipt still in its buffer, and nothing notices. Here every
// receipt is followed by a process-ID request, which the printer answers once
// the receipt is on paper. Whether the printer answers them at all (older
// models take the request silently) is asked first on every connection, and
// nothing is confirmed before that is known; for a printer that does not,
// receipts are confirmed as received instead (see Session::StatusPending).
// Only a few receipts are ever sent and unconfirmed, so a till that dies
// prints at most those twice. What the printer confirmed is kept on disk per
// job name and document (jobstate.h), so that a retry, a cancelled job sent
// again or a job the print server lost and got again sends only the receipts
// it has not confirmed. A printer that holds the connection is never taken
// for a lost one: paper out, an open cover, a full buffer are waited for and
// shown on the queue.
//
//   DEVICE_URI escpos://HOST[:PORT][/?confirm=auto|process-id|status|none&window=N]
//              escpos:/dev/usb/lpN[?...]   escpos:///dev/usb/lpN[?...]
//   escpos job-id user title copies options [file]
#include "printerlink.h"

#include <cups/backend.h>
#include <cups/ipp.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

using namespace kvbackend;

namespace {

void onTerm(int) { g_cancelled = 1; }

bool readJob(const char *file, std::string &job, std::string &error)
{
    const std::string name = file ? std::string("the job file ") + file : "the job";
    const int fd = file ? ::open(file, O_RDONLY | O_CLOEXEC) : 0;
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        error = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    bool ok = !S_ISDIR(st.st_mode);
    if (!ok)
        error = name + " is a directory, not a job";
    char buf[65536];
    for (ssize_t n = 1; ok && n != 0;) {
        n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            job.append(buf, static_cast<std::size_t>(n));
        else if (n < 0 && errno != EINTR) {
            error = "reading " + name + " failed: " + std::strerror(errno);
            ok = false;
        }
    }
    if (file)
        ::close(fd);
    return ok;
}

void listDevices()
{
    std::cout << "network escpos \"Unknown\" \"ESC/POS receipt printer, each receipt confirmed\"" << std::endl;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/dev/usb", ec)) {
        const std::string name = e.path().filename();
        if (name.rfind("lp", 0) == 0)
            std::cout << "direct escpos:" << e.path().string() << " \"Unknown\" \"ESC/POS receipt printer on "
                      << name << "\"" << std::endl;
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::ios::sync_with_stdio(false);
    if (argc == 1) {
        listDevices();
        return CUPS_BACKEND_OK;
    }
    if (argc < 6 || argc > 7) {
        std::cerr << "Usage: escpos job-id user title copies options [file]" << std::endl;
        return CUPS_BACKEND_FAILED;
    }
    struct sigaction term {};
    term.sa_handler = onTerm; // no SA_RESTART: a wait ends when the job is cancelled
    sigaction(SIGTERM, &term, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A print server killed in mid-job starts the job again when it comes
    // back; this run must not print on beside that one. One that died
    // before the request took hold has left this run to init already.
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent)
        return CUPS_BACKEND_RETRY_CURRENT;

    std::string error;
    g_timing = parseTiming(std::getenv("KV_ESCPOS_TIMING"), error);
    if (!error.empty())
        say("WARNING: " + error + "; the usual times apply");
    error.clear();
    Reasons reasons;
    const char *uriText = std::getenv("DEVICE_URI");
    const std::string uriString = uriText ? uriText : argv[0];
    const auto uri = parseDeviceUri(uriString, error);
    if (!uri) {
        say("ERROR: " + error);
        return CUPS_BACKEND_STOP;
    }
    std::string job;
    const bool fromFile = argc == 7;
    if (!readJob(fromFile ? argv[6] : nullptr, job, error)) {
        say("ERROR: " + error);
        return CUPS_BACKEND_FAILED;
    }
    const auto pieces = splitReceipts(job);
    // Copies are the backend's to make only when it is given a file; from
    // standard input they were made before it (CUPS's filter chain).
    const int copies = fromFile ? std::max(1, std::atoi(argv[4])) : 1;
    std::vector<std::string> all;
    for (int c = 0; c < copies; ++c)
        all.insert(all.end(), pieces.begin(), pieces.end());

    // The job's name and document find what the printer confirmed of it in
    // any earlier run, under this number or another (jobstate.h).
    const std::string directory = JobState::directory();
    JobState::sweep(directory);
    JobState state(directory, std::atoi(argv[1]), argv[3], job, all.size());
    JobState::Lock lock = state.lock(false, error);
    if (lock == JobState::Lock::Busy) {
        say("INFO: Another run of this job (the same name and data) is printing; this one waits for it and then "
            "prints only what it did not.");
        lock = state.lock(true, error);
    }
    if (g_cancelled)
        return CUPS_BACKEND_OK;
    if (lock == JobState::Lock::Failed)
        say("WARNING: " + error + "; printing without it");
    error.clear();
    if (const auto own = askPrintServer(state.jobId()); own && own->state)
        state.uuid = own->uuid;
    const auto knownCompleted = [](int id, const std::string &uuid) {
        const auto known = askPrintServer(id);
        return known && known->uuid == uuid && known->state == IPP_JSTATE_COMPLETED;
    };
    bool restarted = false;
    if (!state.load(error, knownCompleted, restarted))
        say("WARNING: " + error + "; the whole job is sent");
    if (restarted)
        say("INFO: A completed job of the same name and data is still listed by the print server: this one is a new "
            "print and prints whole.");
    // Kept before anything is sent: a run that dies leaves the next one a
    // number of its own, so no answer meant for this one confirms its pieces.
    ++state.attempt;
    if (!state.save(error))
        say("WARNING: " + error);
    if (state.confirmed > 0 && state.confirmed < all.size())
        say("INFO: the printer confirmed " + std::to_string(state.confirmed) + " of " + std::to_string(all.size()) +
            " receipts before; sending the rest");
    if (state.confirmed > 0 && state.confirmed == all.size()) {
        say("INFO: The printer confirmed every receipt of this job before (it was sent again): nothing to print.");
        return CUPS_BACKEND_OK;
    }
    const PrinterMemory memory(directory, uriString);

    milliseconds wait{500};
    std::string toldAway;
    while (state.confirmed < all.size()) {
        bool fatal = false;
        const int fd = connectTo(*uri, error, fatal);
        if (g_cancelled) {
            if (fd >= 0)
                ::close(fd);
            reasons.clear();
            return CUPS_BACKEND_OK;
        }
        if (fatal) {
            say("ERROR: " + error);
            reasons.clear();
            return CUPS_BACKEND_STOP;
        }
        if (fd < 0) {
            // Switched off, restarting, unplugged or misnamed: the queue says
            // which, and the job waits for the printer as long as it takes,
            // asking less and less often.
            reasons.stuck(true);
            if (error != toldAway)
                say("INFO: The receipt printer does not answer: " + error + "; trying again.");
            toldAway = error;
            if (std::getenv("CLASS")) {
                // Sent to a class: another printer of it may take the job.
                say("INFO: The receipt printer does not answer: " + error + "; the job goes to the next printer of the class.");
                pause(g_timing.connect);
                reasons.clear();
                return CUPS_BACKEND_FAILED;
            }
            pause(wait);
            wait = std::min(wait * 2, milliseconds(16000));
            continue;
        }
        if (!toldAway.empty()) {
            reasons.clear();
            toldAway.clear();
        }
        say("INFO: Printing.");
        std::string why;
        const Outcome outcome = printOnce(fd, all, state, *uri, reasons, memory, why);
        ::close(fd);
        if (outcome == Outcome::Cancelled || g_cancelled) {
            // Its state stays: the job sent again resumes from it.
            reasons.clear();
            return CUPS_BACKEND_OK;
        }
        if (outcome == Outcome::Lost) {
            say("INFO: Lost the receipt printer (" + why + "); " + std::to_string(state.confirmed) + " of " +
                std::to_string(all.size()) + " receipts confirmed, the job is retried.");
            reasons.clear();
            // A printer that resets every connection is tried less and less often.
            pause(g_timing.retry * (1 << std::min(state.attempt - 1, 6u)));
            return CUPS_BACKEND_RETRY_CURRENT;
        }
    }
    // The state stays, so that this job sent again prints nothing.
    reasons.clear();
    say("INFO: Ready to print.");
    return CUPS_BACKEND_OK;
}
