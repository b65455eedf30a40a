// What the tick does with what the library's jobs found, in the order they
// found it: the log, the default printer's name, the printer's box, and the
// question a "shutdown" asks.
#pragma once

#include "core/eventlog.h"
#include "launcher/launcherstate.h"
#include "launcher/libraryjobs.h"
#include "launcher/openquestions.h"
#include "launcher/passlog.h"
#include "launcher/runtimeerror.h"

namespace kv {

class FindingsHandler {
public:
    FindingsHandler(LauncherState &state, LibraryJobs &library, LauncherBoxes &boxes, RunTimeErrors &errors,
                    EventLog &log)
        : m_state(state), m_library(library), m_boxes(boxes), m_errors(errors), m_log(log)
    {
    }

    // Acts on the findings of the jobs that ended, unless one runs; false
    // when they end the tick.
    bool actOnFindings();

private:
    bool actOn(const LibraryFindings &found);

    LauncherState &m_state;
    LibraryJobs &m_library;
    LauncherBoxes &m_boxes;
    RunTimeErrors &m_errors;
    FindingsLog m_log;
};

} // namespace kv
