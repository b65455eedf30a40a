#include "escposlink.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace kvbackend {

namespace {

// The cut the launcher ends every receipt with (GS V 66 0: feed and cut).
const std::string kCut("\x1D\x56\x42\x00", 4);

// ID bytes must lie in 32..126; 94 values each.
constexpr unsigned kIdBase = 94;
constexpr char kIdFirst = 33;

} // namespace

const char kStatusRequests[] = "\x10\x04\x01\x10\x04\x02\x10\x04\x04";
// n = 02 online state, 04 errors, 08 paper sensor.
const char kEnableAutoStatus[] = "\x1D\x61\x0E";
const char kNoProcessIdReason[] = "kv-escpos-no-process-id-report";

std::optional<DeviceUri> parseDeviceUri(const std::string &uri, std::string &error)
{
    DeviceUri out;
    std::string rest;
    // "escpos:///dev/..." has an empty host, as file:///: a device path.
    const bool local = uri.rfind("escpos://", 0) != 0 || uri.compare(9, 1, "/") == 0;
    if (uri.rfind("escpos://", 0) == 0) {
        rest = uri.substr(9);
    } else if (uri.rfind("escpos:/", 0) == 0) {
        rest = uri.substr(7);
    } else {
        error = "the device URI \"" + uri + "\" does not begin with escpos:// or escpos:/";
        return std::nullopt;
    }
    std::string query;
    if (const auto q = rest.find('?'); q != std::string::npos) {
        query = rest.substr(q + 1);
        rest.erase(q);
    }
    for (std::size_t at = 0; at <= query.size() && !query.empty();) {
        const auto amp = query.find('&', at);
        const std::string item = query.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
        if (item == "confirm=process-id")
            out.confirm = Confirm::ProcessId;
        else if (item == "confirm=status")
            out.confirm = Confirm::Status;
        else if (item == "confirm=none")
            out.confirm = Confirm::None;
        else if (item == "confirm=auto")
            out.confirm = Confirm::Auto;
        else if (item.rfind("window=", 0) == 0) {
            char *end = nullptr;
            const long n = std::strtol(item.c_str() + 7, &end, 10);
            if (item.size() == 7 || *end != '\0' || n < 0 || n > 1000) {
                error = "the device URI \"" + uri + "\" has \"" + item +
                        "\": the window is a number of receipts from 1 to 1000, or 0 for no limit";
                return std::nullopt;
            }
            out.window = static_cast<std::size_t>(n);
        } else if (!item.empty()) {
            error = "the device URI \"" + uri + "\" has the unknown option \"" + item +
                    "\" (known: confirm=auto, confirm=process-id, confirm=status, confirm=none, window=N)";
            return std::nullopt;
        }
        if (amp == std::string::npos)
            break;
        at = amp + 1;
    }
    if (local) {
        // The backend runs as lp: a path elsewhere would let a queue write
        // into any file that user may write.
        const std::filesystem::path path = std::filesystem::path(rest).lexically_normal();
        if (path.string().rfind("/dev/", 0) != 0 || path.string().size() == 5) {
            error = "the device URI \"" + uri + "\" names \"" + rest + "\", not a device under /dev";
            return std::nullopt;
        }
        out.device = path.string();
        return out;
    }
    while (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string port;
    bool hasPort = false;
    if (!rest.empty() && rest.front() == '[') { // [v6-address]:port
        const auto close = rest.find(']');
        const std::string after = close == std::string::npos ? std::string() : rest.substr(close + 1);
        if (close == std::string::npos || (!after.empty() && after.front() != ':')) {
            error = "the device URI \"" + uri + "\" has a malformed [address]";
            return std::nullopt;
        }
        out.host = rest.substr(1, close - 1);
        hasPort = !after.empty();
        port = hasPort ? after.substr(1) : std::string();
    } else if (const auto colon = rest.rfind(':'); colon != std::string::npos) {
        out.host = rest.substr(0, colon);
        hasPort = true;
        port = rest.substr(colon + 1);
    } else {
        out.host = rest;
    }
    if (hasPort) {
        char *end = nullptr;
        const long value = std::strtol(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || value < 1 || value > 65535) {
            error = "the device URI \"" + uri + "\" has the port \"" + port + "\", not a number from 1 to 65535";
            return std::nullopt;
        }
        out.port = static_cast<int>(value);
    }
    if (out.host.empty()) {
        error = "the device URI \"" + uri + "\" names no printer";
        return std::nullopt;
    }
    return out;
}

std::vector<std::string> splitReceipts(const std::string &job)
{
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t cut = job.find(kCut); cut != std::string::npos; cut = job.find(kCut, start)) {
        pieces.push_back(job.substr(start, cut + kCut.size() - start));
        start = cut + kCut.size();
    }
    if (start < job.size())
        pieces.push_back(job.substr(start));
    return pieces;
}

const std::string &cutCommand() { return kCut; }

std::string processIdOf(int job, unsigned attempt, std::size_t piece)
{
    // d1 the job, d2 the attempt, d3 d4 the piece: 94 * 94 - 1 pieces apart
    // never meet within the few a connection has unconfirmed, and the last
    // value is the probe's.
    piece %= kIdBase * kIdBase - 1;
    std::string id(4, kIdFirst);
    id[0] = static_cast<char>(kIdFirst + static_cast<unsigned>(job) % kIdBase);
    id[1] = static_cast<char>(kIdFirst + attempt % kIdBase);
    id[2] = static_cast<char>(kIdFirst + piece / kIdBase);
    id[3] = static_cast<char>(kIdFirst + piece % kIdBase);
    return id;
}

std::string probeIdOf(int job, unsigned attempt)
{
    std::string id = processIdOf(job, attempt, 0);
    id[2] = id[3] = static_cast<char>(kIdFirst + kIdBase - 1);
    return id;
}

std::string processIdRequest(const std::string &id)
{
    // GS ( H pL=6 pH=0 fn=48 m=48 d1..d4
    return std::string("\x1D\x28\x48\x06\x00\x30\x30", 7) + id;
}

std::string visible(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7f) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        }
    }
    return out;
}

std::optional<AnswerReader::Answer> AnswerReader::next()
{
    while (!m_buffer.empty()) {
        const auto b = static_cast<unsigned char>(m_buffer[0]);
        if (b == 0x37) { // process-ID answer: 37 22 d1 d2 d3 d4 00
            if (m_buffer.size() < 2)
                return std::nullopt;
            if (m_buffer[1] == 0x22) {
                if (m_buffer.size() < 7)
                    return std::nullopt;
                Answer a{Answer::ProcessId, m_buffer.substr(2, 4), 0};
                const bool whole = m_buffer[6] == '\0';
                m_buffer.erase(0, 7);
                if (whole)
                    return a;
                continue;
            }
        } else if ((b & 0x93) == 0x12) { // real-time status: 0xx1xx10
            m_buffer.erase(0, 1);
            return Answer{Answer::Status, {}, b};
        } else if ((b & 0x93) == 0x10) { // automatic status: four bytes, first 0xx1xx00, then 0xx0xxxx
            if (m_buffer.size() < 4)
                return std::nullopt;
            bool block = true;
            for (std::size_t i = 1; i < 4; ++i)
                block = block && (static_cast<unsigned char>(m_buffer[i]) & 0x90) == 0;
            if (block) {
                Answer a{Answer::AutoStatus, m_buffer.substr(0, 4), b};
                m_buffer.erase(0, 4);
                return a;
            }
        }
        m_buffer.erase(0, 1);
    }
    return std::nullopt;
}

void applyStatus(PrinterStatus &status, int request, unsigned char answer)
{
    switch (request) {
    case 1:
        status.offline = answer & 0x08;
        break;
    case 2:
        status.coverOpen = answer & 0x04;
        status.error = answer & 0x40;
        status.paperEnd = answer & 0x20;
        break;
    case 4:
        status.paperEnd = status.paperEnd || (answer & 0x60) == 0x60;
        break;
    default:
        break;
    }
}

PrinterStatus autoStatus(const std::string &block)
{
    PrinterStatus s;
    if (block.size() < 4)
        return s;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(block[i]); };
    s.offline = byte(0) & 0x08;
    s.coverOpen = byte(0) & 0x20;
    s.error = byte(1) & 0x6C; // mechanical, autocutter, unrecoverable, auto-recoverable
    s.paperEnd = (byte(2) & 0x0C) == 0x0C;
    return s;
}

std::vector<std::string> stateReasons(const PrinterStatus &status)
{
    std::vector<std::string> reasons;
    if (status.paperEnd)
        reasons.push_back("media-empty-error");
    if (status.coverOpen)
        reasons.push_back("cover-open-error");
    if (status.error)
        reasons.push_back("other-error");
    if (status.offline && reasons.empty())
        reasons.push_back("offline-report");
    return reasons;
}

Timing parseTiming(const char *text, std::string &error)
{
    Timing t;
    const std::pair<const char *, std::chrono::milliseconds Timing::*> names[] = {
        {"progress", &Timing::progress}, {"status", &Timing::status},   {"every", &Timing::every},
        {"probe", &Timing::probe},       {"connect", &Timing::connect}, {"cancel", &Timing::cancel},
        {"retry", &Timing::retry},
    };
    const std::string all = text ? text : "";
    for (std::size_t at = 0; at < all.size();) {
        const auto comma = all.find(',', at);
        const std::string item = all.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        at = comma == std::string::npos ? all.size() : comma + 1;
        const auto eq = item.find('=');
        bool known = false;
        for (const auto &[name, member] : names) {
            if (eq == std::string::npos || item.compare(0, eq, name) != 0 || eq != std::string(name).size())
                continue;
            char *end = nullptr;
            const long ms = std::strtol(item.c_str() + eq + 1, &end, 10);
            if (*end != '\0' || ms <= 0 || eq + 1 == item.size()) {
                error = "KV_ESCPOS_TIMING: \"" + item + "\" is not a number of milliseconds above 0";
                return t;
            }
            t.*member = std::chrono::milliseconds(ms);
            known = true;
        }
        if (!known && !item.empty()) {
            error = "KV_ESCPOS_TIMING: unknown item \"" + item + "\"";
            return t;
        }
    }
    return t;
}

} // namespace kvbackend
