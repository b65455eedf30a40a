#include "escposlink.h"

#include <cstdlib>

namespace kvbackend {

namespace {

// The cut the launcher ends every receipt with (GS V 66 0: feed and cut).
const std::string kCut("\x1D\x56\x42\x00", 4);

// ID bytes must lie in 32..126; 94 values each.
constexpr unsigned kIdBase = 94;
constexpr char kIdFirst = 33;

} // namespace

const char kStatusRequests[] = "\x10\x04\x01\x10\x04\x02\x10\x04\x04";

std::optional<DeviceUri> parseDeviceUri(const std::string &uri, std::string &error)
{
    DeviceUri out;
    std::string rest;
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
        else if (!item.empty()) {
            error = "the device URI \"" + uri + "\" has the unknown option \"" + item +
                    "\" (known: confirm=process-id, confirm=status, confirm=none)";
            return std::nullopt;
        }
        if (amp == std::string::npos)
            break;
        at = amp + 1;
    }
    if (uri.rfind("escpos://", 0) != 0) {
        out.device = rest;
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

std::string processIdOf(unsigned attempt, std::size_t piece)
{
    std::string id(4, kIdFirst);
    id[0] = static_cast<char>(kIdFirst + attempt % kIdBase);
    for (int i = 3; i >= 1; --i) {
        id[static_cast<std::size_t>(i)] = static_cast<char>(kIdFirst + piece % kIdBase);
        piece /= kIdBase;
    }
    return id;
}

std::string processIdRequest(unsigned attempt, std::size_t piece)
{
    // GS ( H pL=6 pH=0 fn=48 m=48 d1..d4
    return std::string("\x1D\x28\x48\x06\x00\x30\x30", 7) + processIdOf(attempt, piece);
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
        } else if ((b & 0x93) == 0x10) { // automatic status: four bytes, first 0xx1xx00
            if (m_buffer.size() < 4)
                return std::nullopt;
            m_buffer.erase(0, 4);
            return Answer{Answer::AutoStatus, {}, b};
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

} // namespace kvbackend
