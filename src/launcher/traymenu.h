// The tray menu's commands, and the questions at the front-end's end, which
// lead the same ways out: quit everything, run the update, or keep the other
// programs running.
#pragma once

#include "core/noticesink.h"
#include "launcher/launcherstate.h"
#include "launcher/looptimer.h"
#include "launcher/openquestions.h"
#include "launcher/runtimeerror.h"

namespace kv {

class TrayMenu {
public:
    TrayMenu(LauncherState &state, LauncherBoxes &boxes, RunTimeErrors &errors, const LauncherParts &parts,
             LoopTimer &loop)
        : m_state(state), m_boxes(boxes), m_errors(errors), m_update(parts.update), m_imageKiller(parts.imageKiller),
          m_loop(loop)
    {
    }

    void mnuManageClick();
    void mnuDBClick();
    void mnuUpdateClick();
    void mnuExitClick();

    // Asked by the tick that finds the front-end ended, when an update waits
    // (else askQuitAll); acted on by a later tick.
    void askUpdateNow();
    void askQuitAll();

private:
    LauncherState &m_state;
    LauncherBoxes &m_boxes;
    RunTimeErrors &m_errors;
    UpdateProcedure &m_update;
    ImageKiller &m_imageKiller;
    LoopTimer &m_loop;
};

} // namespace kv
