// Reading a configuration file whole, for the launcher and the client library
// alike. Only a regular file of sensible size is read: a FIFO would hang the
// reader and a link to a device could feed it without end.
#pragma once

#include <cstddef>
#include <string>

namespace conffile {

inline constexpr std::size_t kMaxBytes = 1024 * 1024;

struct Content {
    enum class Status { Read, Missing, Unusable };
    Status status = Status::Missing;
    // UTF-8, without a leading byte-order mark; a file that began with a
    // UTF-16 one was read as UTF-16, one that is not valid UTF-8 as
    // Windows-1252.
    std::string text;
    // Why the file was not read, for a person to read.
    std::string reason;

    bool ok() const { return status == Status::Read; }
};

// Missing: no such file. Unusable: there, but not a regular file, larger
// than kMaxBytes, or not readable. Never blocks on what it finds.
Content read(const std::string &path);

} // namespace conffile
