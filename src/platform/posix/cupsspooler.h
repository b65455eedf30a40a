// The spooler on CUPS through libcups. Every request goes over a connection
// of its own with a connect and read/write timeout, so a print server that is
// gone or hangs costs the caller a bounded wait, never the till.
#pragma once

#include "platform/spooler.h"

#include <chrono>
#include <string>

namespace kv::platform {

class CupsSpooler final : public Spooler {
public:
    // `server` is written as CUPS_SERVER takes it: a socket path ("/run/...")
    // or "host", "host:port", "[v6-address]:port". Empty means the server
    // libcups would pick itself (CUPS_SERVER, client.conf, the local one).
    // A server that is not there fails at once; one that hangs costs a
    // request about three times `timeout` (libcups waits for its
    // "100 Continue", then for the reply).
    explicit CupsSpooler(std::string server = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(2));

    std::vector<std::string> printers() override;
    std::string defaultPrinter() override;
    std::unique_ptr<PrinterHandle> openPrinter(const std::string &name) override;
    std::string lastError() const override { return m_lastError; }

private:
    std::string m_server;
    std::chrono::milliseconds m_timeout;
    std::string m_lastError;
};

} // namespace kv::platform
