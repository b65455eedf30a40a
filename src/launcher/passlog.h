// The line a pass over the POS queue leaves in the log an admin reads: why
// it ran, what it read, printed and deleted, and why rows stay queued.
#pragma once

#include "escpos/vbPosCommands.h"
#include "launcher/libraryjobs.h"

#include <QString>

namespace kv {

// Why the pass ran, in words ("notified", "at start-up" ...).
QString passCauseText(PassCause cause);

// One line per pass. A pass that had nothing to print made no job and says
// so; "job taken by" only names a printer that took one.
QString passLogLine(const PosPassReport &pass, PassCause cause);

} // namespace kv
