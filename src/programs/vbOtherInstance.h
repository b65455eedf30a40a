// Finding another running copy of the launcher.
#pragma once

#include "platform/process.h"

namespace kv::vbOtherInstance {

// The id of another process whose executable is the launcher's own file,
// compared by full path exactly (case-sensitive; the system reports paths
// with links resolved, so a copy started through a symbolic link counts and
// a copy of the file elsewhere does not). When several match, the one the
// system lists last. -1 when there is none, or when the launcher cannot read
// its own executable path. A launcher whose file was replaced by an update
// still finds, and is found by, the copies started from the new file.
int findOtherInstance(const platform::ProcessTable &table);

} // namespace kv::vbOtherInstance
