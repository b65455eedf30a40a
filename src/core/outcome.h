#pragma once

namespace kv {

// Whether the launcher goes on after an operation. Only the executable turns
// LauncherEnds into a process exit; everything below it just reports it.
enum class Outcome { Continue, LauncherEnds };

} // namespace kv
