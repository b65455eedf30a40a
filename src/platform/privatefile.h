// Files that hold a password: readable by the owner alone, replaced whole.
#pragma once

#include <string>

namespace kv::platform {

// Writes `bytes` to a new file beside `path` (mode 0600 from creation),
// flushes it and renames it over `path`, so a crash leaves either the old
// file or the new one. On failure returns false and the system's reason.
bool replaceFilePrivately(const std::string &path, const std::string &bytes, std::string *error);

// Appends `bytes` to `path` (created when missing) and leaves it mode 0600.
bool appendFilePrivately(const std::string &path, const std::string &bytes, std::string *error);

} // namespace kv::platform
