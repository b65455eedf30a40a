#include "launcher/openquestions.h"

#include <algorithm>

namespace kv {

namespace {

const QString kTitle = QStringLiteral("Korvantis Launcher");

} // namespace

void OpenQuestions::ask(Prompter &prompter, const MessageBox &box, Step step, Act act)
{
    std::shared_ptr<OpenBox> shown = prompter.openBox(box);
    if (std::any_of(m_asked.begin(), m_asked.end(), [&](const Question &q) { return q.box == shown; }))
        return;
    m_asked.push_back({std::move(shown), step, std::move(act)});
}

bool OpenQuestions::waiting(Step step) const
{
    return std::any_of(m_asked.begin(), m_asked.end(), [&](const Question &q) { return q.step == step; });
}

bool OpenQuestions::actOnAnswers(Step step)
{
    for (;;) {
        const auto first =
            std::find_if(m_asked.begin(), m_asked.end(), [&](const Question &q) { return q.step == step; });
        if (first == m_asked.end() || !first->box->answer())
            return true;
        // Taken out first: acting may ask the next question of the step.
        const Question answered = std::move(*first);
        m_asked.erase(first);
        if (!answered.act(*answered.box->answer()))
            return false;
    }
}

namespace {

// Every box of the launcher: its title, above every other window.
MessageBox launcherBox(const QString &text, MsgButtons buttons, int defaultButton, MsgIcon icon)
{
    MessageBox box;
    box.text = text;
    box.title = kTitle;
    box.buttons = buttons;
    box.defaultButton = defaultButton;
    box.icon = icon;
    box.systemModal = true;
    return box;
}

} // namespace

MsgResult LauncherBoxes::ask(const QString &text, MsgButtons buttons, int defaultButton, MsgIcon icon)
{
    return prompter.messageBox(launcherBox(text, buttons, defaultButton, icon));
}

void LauncherBoxes::tell(const QString &text, MsgIcon icon)
{
    prompter.showMessage(launcherBox(text, MsgButtons::OK, 1, icon));
}

void LauncherBoxes::askLater(const QString &text, MsgIcon icon, OpenQuestions::Step step, OpenQuestions::Act act)
{
    questions.ask(prompter, launcherBox(text, MsgButtons::YesNo, 1, icon), step, std::move(act));
}

} // namespace kv
