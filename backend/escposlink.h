// What the escpos backend says to a receipt printer and reads back from it:
// the job cut into receipts, the process-ID requests that make the printer
// confirm each one once it is on paper, and the printer's answers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvbackend {

// How a job is confirmed, from the device URI's "confirm=" option.
enum class Confirm {
    Auto,      // process IDs when the printer answers them, else status
    ProcessId, // the printer answers each request once what precedes it is printed
    Status,    // older printers: a real-time status answer says the data arrived
    None,      // as a plain socket queue: sent is done
};

// At most this many receipts are sent and not yet confirmed: a till that
// loses power, or a link that is lost, prints at most these twice. Chosen
// from bench_paper's figures (see docs/configuring.md).
constexpr std::size_t kDefaultWindow = 2;

struct DeviceUri {
    std::string host;   // network printer, or
    std::string device; // a character device under /dev, such as /dev/usb/lp0
    int port = 9100;
    Confirm confirm = Confirm::Auto;
    std::size_t window = kDefaultWindow; // 0: no limit
};

// Reads "escpos://HOST[:PORT][/][?confirm=...&window=N]", "escpos:/dev/...[?...]"
// or "escpos:///dev/..." (an empty host, as in file:///). nullopt and `error`
// set when the URI is not one of these, or names a file outside /dev.
std::optional<DeviceUri> parseDeviceUri(const std::string &uri, std::string &error);

// The job in the pieces that are confirmed one by one: each receipt up to and
// including its cut, and what follows the last cut (a drawer pulse, or a job
// that has no cut at all). Never empty pieces; an empty job has none.
std::vector<std::string> splitReceipts(const std::string &job);
// The cut every receipt ends with.
const std::string &cutCommand();

// The four ID bytes of a process-ID request carry the job, the attempt (the
// backend's run for that job) and the piece, so that an answer meant for an
// earlier job or connection never confirms a piece of this one.
std::string processIdOf(int job, unsigned attempt, std::size_t piece);
// The request asking for the answer `id` once what precedes it is done.
std::string processIdRequest(const std::string &id);
// The ID of the request sent before any receipt, which finds out whether
// the printer answers process-ID requests at all.
std::string probeIdOf(int job, unsigned attempt);

// DLE EOT 1, 2 and 4: printer, offline cause and paper sensor, answered at once.
extern const char kStatusRequests[];
constexpr std::size_t kStatusRequestBytes = 9;
// GS a: the printer reports changes of its online state, errors and paper
// unasked, even while data waits in its full buffer.
extern const char kEnableAutoStatus[];
constexpr std::size_t kEnableAutoStatusBytes = 3;

// `text` with every control character made visible ("\\n", "\\x1b"), so that
// a message to the print server stays one line whatever its input held.
std::string visible(const std::string &text);

// What the printer's answers say about its state.
struct PrinterStatus {
    bool offline = false;
    bool coverOpen = false;
    bool paperEnd = false;
    bool error = false;
    bool stopped() const { return offline || coverOpen || paperEnd || error; }
    bool operator==(const PrinterStatus &) const = default;
};

// Splits the byte stream from the printer into its answers. Bytes that fit
// no answer are skipped one at a time, so a stray byte costs nothing.
class AnswerReader {
public:
    struct Answer {
        enum Kind { ProcessId, Status, AutoStatus } kind;
        std::string id;            // ProcessId: the four ID bytes; AutoStatus: the four status bytes
        unsigned char status = 0;  // Status: the one byte
    };
    void feed(const char *data, std::size_t size) { m_buffer.append(data, size); }
    std::optional<Answer> next();

private:
    std::string m_buffer;
};

// Folds one real-time status answer (to DLE EOT n) into `status`.
void applyStatus(PrinterStatus &status, int request, unsigned char answer);
// The printer's state from one automatic status block (four bytes).
PrinterStatus autoStatus(const std::string &block);

// The queue's printer-state-reasons for a printer state, CUPS's names.
std::vector<std::string> stateReasons(const PrinterStatus &status);
// The reason shown while a printer does not answer process-ID requests, so
// that `lpstat` and the launcher's log tell receipts are confirmed only as
// received.
extern const char kNoProcessIdReason[];

// How long the backend waits for what; the tests' print server shortens
// them through KV_ESCPOS_TIMING ("progress=3000,status=800,...", in ms).
struct Timing {
    // A printer that acknowledges nothing for this long, neither data nor
    // the kernel's keepalive probes, is gone (TCP_USER_TIMEOUT): the
    // kernel ends the connection. A printer that holds the connection is
    // never taken for a lost one, however long it takes no data.
    std::chrono::milliseconds progress{30000};
    // A status request the printer has taken is answered at once; one that
    // is not, or data the printer does not take for this long, shows the
    // printer as stopped on the queue.
    std::chrono::milliseconds status{5000};
    // While answers are due, the printer is asked for its state this often.
    std::chrono::milliseconds every{1000};
    // A printer that reports itself ready answers the first process-ID
    // request (nothing of this connection precedes it) within this, or is
    // taken for one that does not answer them, for this connection; counted
    // only while it has taken the request and reports itself ready, and
    // four times as long unless it was found silent on the last
    // PrinterMemory::kSilentAfter connections (still printing an earlier
    // connection's data, it answers late).
    std::chrono::milliseconds probe{2000};
    std::chrono::milliseconds connect{5000};
    // A cancelled job still finishes the receipt being sent, within this.
    std::chrono::milliseconds cancel{3000};
    // The first pause before a retry after a lost link, doubled per attempt.
    std::chrono::milliseconds retry{250};
};
// Defaults, with what `text` sets; `error` names an unknown or bad item.
Timing parseTiming(const char *text, std::string &error);

} // namespace kvbackend
