// The front-end's run script, run.sh: starts the front-end with the
// arguments it is given and, once the front-end has ended, prints the end
// marker the supervision watches for.
#pragma once

#include "core/appcontext.h"
#include "core/outcome.h"
#include "core/prompter.h"

namespace kv::runscript {

// The script's file name, also the front-end slot's executable.
inline constexpr auto kRunScriptName = "run.sh";

// Writes appPath() + "run.sh" anew (hand edits are replaced), executable,
// naming the front-end found beside the launcher, or asking for its name.
// A script that cannot be written ends the launcher. `frontEndName`, when
// given, receives the front-end's file name as the script names it ("" when
// none was found).
Outcome writeRunScript(const AppContext &ctx, Prompter &prompter, QString *frontEndName = nullptr);

} // namespace kv::runscript
