// What the escpos backend says to a receipt printer and reads back from it:
// the job cut into receipts, the process-ID requests that make the printer
// confirm each one once it is on paper, and the printer's answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvbackend {

// How a job is confirmed, from the device URI's "confirm=" option.
enum class Confirm {
    ProcessId, // the printer answers each request once what precedes it is printed
    Status,    // older printers: a real-time status answer says the data arrived
    None,      // as a plain socket queue: sent is done
};

struct DeviceUri {
    std::string host;   // network printer, or
    std::string device; // a character device such as /dev/usb/lp0
    int port = 9100;
    Confirm confirm = Confirm::ProcessId;
};

// Reads "escpos://HOST[:PORT][/][?confirm=...]" or "escpos:/dev/...[?confirm=...]".
// nullopt and `error` set when the URI is not one of these.
std::optional<DeviceUri> parseDeviceUri(const std::string &uri, std::string &error);

// The job in the pieces that are confirmed one by one: each receipt up to and
// including its cut, and what follows the last cut (a drawer pulse, or a job
// that has no cut at all). Never empty pieces; an empty job has none.
std::vector<std::string> splitReceipts(const std::string &job);

// The four ID bytes of a process-ID request: `attempt` keeps an answer meant
// for an earlier connection from confirming a piece of this one.
std::string processIdRequest(unsigned attempt, std::size_t piece);
std::string processIdOf(unsigned attempt, std::size_t piece);

// DLE EOT 1, 2 and 4: printer, offline cause and paper sensor, answered at once.
extern const char kStatusRequests[];
constexpr std::size_t kStatusRequestCount = 3;
constexpr std::size_t kStatusRequestBytes = 9;

// What the printer's answers say about its state.
struct PrinterStatus {
    bool offline = false;
    bool coverOpen = false;
    bool paperEnd = false;
    bool error = false;
    bool stopped() const { return offline || coverOpen || paperEnd || error; }
};

// Splits the byte stream from the printer into its answers. Bytes that fit
// no answer are skipped one at a time, so a stray byte costs nothing.
class AnswerReader {
public:
    struct Answer {
        enum Kind { ProcessId, Status, AutoStatus } kind;
        std::string id;            // ProcessId: the four ID bytes
        unsigned char status = 0;  // Status: the one byte
    };
    void feed(const char *data, std::size_t size) { m_buffer.append(data, size); }
    std::optional<Answer> next();

private:
    std::string m_buffer;
};

// Folds one real-time status answer (to DLE EOT n) into `status`.
void applyStatus(PrinterStatus &status, int request, unsigned char answer);

// The queue's printer-state-reasons for a printer state, CUPS's names.
std::vector<std::string> stateReasons(const PrinterStatus &status);

} // namespace kvbackend
