// The questions the launcher has asked and not yet acted on.
//
// No box holds the till. The loop this launcher was modelled on stands still
// behind each system-modal box until the cashier answers it, and a box left
// open (a "shutdown" that any login can send to every till, a program whose
// file is missing) would then hold the receipts, the drawer pulses, the
// restarts, the watchdog's checks and the status row with it. So every box of
// start-up and of the loop is shown without waiting (Prompter::openBox; the
// printer's box always was), and a question's answer is acted on by a later
// tick, at the step of the tick that asked it, in the order asked. The same
// question still waiting is raised, not asked twice (LoggingPrompter). A box
// still waits for its answer only where nothing else may run until the person
// has answered; each such place says why.
#pragma once

#include "core/prompter.h"

#include <functional>
#include <memory>
#include <vector>

namespace kv {

class OpenQuestions {
public:
    // Where in the tick an answer is acted on.
    enum class Step { FrontEndEnd, Notification };
    // Acts on the answer; false when the tick ends there.
    using Act = std::function<bool(MsgResult)>;

    // Shows `box` through `prompter` without waiting. When the prompter gives
    // back a box already asked (the same one, raised), nothing is added.
    void ask(Prompter &prompter, const MessageBox &box, Step step, Act act);
    // A question of this step waits for its answer.
    bool waiting(Step step) const;
    // Acts on this step's answered questions in the order asked, up to the
    // first that still waits; false when one of them ended the tick.
    bool actOnAnswers(Step step);

private:
    struct Question {
        std::shared_ptr<OpenBox> box;
        Step step;
        Act act;
    };
    std::vector<Question> m_asked;
};

// Every box of the launcher (its title, above every other window), each
// logged with its answer, and the questions it asked without waiting.
struct LauncherBoxes {
    LauncherBoxes(Prompter &shown, EventLog &log) : prompter(shown, log) {}
    // Waits for the answer: only where nothing else may run meanwhile.
    MsgResult ask(const QString &text, MsgButtons buttons, int defaultButton, MsgIcon icon);
    // A box whose only answer is OK, shown without holding the loop.
    void tell(const QString &text, MsgIcon icon);
    // A Yes/No question of the tick, acted on when answered.
    void askLater(const QString &text, MsgIcon icon, OpenQuestions::Step step, OpenQuestions::Act act);

    LoggingPrompter prompter;
    OpenQuestions questions;
};

} // namespace kv
