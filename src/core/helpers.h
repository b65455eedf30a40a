// Small helpers every subsystem uses.
#pragma once

#include <QString>

namespace kv {

// s with a "/" appended when s is not empty and does not end in one.
QString addBackslash(const QString &s);

// True when p names a regular file (links followed). "*" and "?" are wildcards
// in the last component only; names beginning with "." count as hidden and are
// not found; matching is case-sensitive. Empty and "/"-ending paths are false.
bool fileExists(const QString &p);

} // namespace kv
