// The spooler on CUPS through libcups. Every request goes over a connection
// of its own, and every call (of the spooler or of an opened printer) has a
// time budget that bounds all its waits together, so a print server that is
// gone or hangs costs the caller a bounded wait, never the till.
#pragma once

#include "platform/spooler.h"

#include <chrono>
#include <functional>
#include <string>

namespace kv::platform {

class CupsSpooler final : public Spooler {
public:
    // `server` is written as CUPS_SERVER takes it: a socket path ("/run/...")
    // or "host", "host:port", "[v6-address]:port". Empty means the server
    // libcups would pick itself (CUPS_SERVER, client.conf, the local one).
    // A server that is not there fails at once; one that hangs makes a call
    // fail after `timeout` (give or take a fifth of a second), however many
    // requests the call needed. Below about 1.2 s the budget stops counting:
    // libcups waits a fixed second for a "100 Continue" of its own.
    explicit CupsSpooler(std::string server = {},
                         std::chrono::milliseconds timeout = kDefaultTimeout);

    // Short enough that a frozen server never holds the till's only thread
    // for five seconds; long enough for a busy server to take a job.
    static constexpr std::chrono::milliseconds kDefaultTimeout{4000};

    std::vector<std::string> printers() override;
    std::string defaultPrinter() override;
    std::unique_ptr<PrinterHandle> openPrinter(const std::string &name) override;
    JobStage followJob(const JobRef &job) override;
    std::optional<int> cancelHeldJobs(const std::string &printer, const std::string &namePrefix) override;
    std::string lastError() const override { return m_lastError; }
    // Over a connection kept from one ask to the next: a till asks every few
    // seconds, and a new connection each time would cost more than the ask.
    std::optional<std::vector<std::string>> printerReasons(const std::string &name) override;

    // Runs on the calling thread just before a job's request goes out or,
    // for the document, just before its end is sent: with "Create-Job",
    // "Send-Document" or "Release-Job". Printers opened later get it. Tests
    // stop the server there, to see what a lost answer does.
    void setRequestHook(std::function<void(const char *operation)> hook) { m_requestHook = std::move(hook); }

private:
    std::string m_server;
    std::chrono::milliseconds m_timeout;
    std::string m_lastError;
    std::function<void(const char *)> m_requestHook;
    // printerReasons's connection (an http_t), closed with the spooler.
    std::shared_ptr<void> m_kept;
};

} // namespace kv::platform
