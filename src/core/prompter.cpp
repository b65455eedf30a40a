#include "core/prompter.h"

#include <utility>

namespace kv {

namespace {

LogPriority priorityOf(MsgIcon icon)
{
    switch (icon) {
    case MsgIcon::Critical: return LogPriority::Error;
    case MsgIcon::Exclamation: return LogPriority::Warning;
    default: return LogPriority::Notice;
    }
}

// The text and, when it says more than the launcher's name, the title: the
// rights box's title carries the system's reason.
QString described(const QString &text, const QString &title)
{
    QString line = QStringLiteral("told the person \"%1\"").arg(text);
    if (title != QLatin1String("Korvantis Launcher"))
        line += QStringLiteral(" (box \"%1\")").arg(title);
    return line;
}

bool sameBox(const MessageBox &a, const MessageBox &b)
{
    return a.text == b.text && a.title == b.title && a.icon == b.icon && a.buttons == b.buttons;
}

} // namespace

void OpenBox::onAnswer(std::function<void(MsgResult)> then)
{
    if (m_answer)
        then(*m_answer);
    else
        m_then.append(std::move(then));
}

void OpenBox::answered(MsgResult answer)
{
    if (m_answer)
        return;
    m_answer = answer;
    for (const auto &then : std::exchange(m_then, {}))
        then(answer);
}

std::shared_ptr<OpenBox> Prompter::openBox(const MessageBox &box)
{
    auto shown = std::make_shared<OpenBox>(box);
    shown->answered(messageBox(box));
    return shown;
}

MsgResult LoggingPrompter::messageBox(const MessageBox &box)
{
    const MsgResult answer = m_shown.messageBox(box);
    m_log.log(priorityOf(box.icon), described(box.text, box.title) + QStringLiteral(", answered ") + toString(answer));
    return answer;
}

std::shared_ptr<OpenBox> LoggingPrompter::openBox(const MessageBox &box)
{
    m_waiting.removeIf([](const std::shared_ptr<OpenBox> &open) { return open->answer().has_value(); });
    for (const std::shared_ptr<OpenBox> &open : std::as_const(m_waiting)) {
        if (sameBox(open->box(), box)) {
            // A pile of the same box would only have to be answered again
            // and again: a second "shutdown", a program failing at every try.
            m_log.debug(QStringLiteral("the box \"%1\" still waits: raised again").arg(box.text));
            open->raise();
            return open;
        }
    }
    std::shared_ptr<OpenBox> shown = m_shown.openBox(box);
    // Logged when shown: the person may take long over it, or never answer.
    m_log.log(priorityOf(box.icon), described(box.text, box.title) + QStringLiteral(", shown without waiting"));
    if (box.buttons != MsgButtons::OK) {
        shown->onAnswer([log = &m_log, text = box.text](MsgResult answer) {
            log->notice(QStringLiteral("the person answered \"%1\": %2").arg(text, toString(answer)));
        });
    }
    if (!shown->answer())
        m_waiting.append(shown);
    return shown;
}

QString LoggingPrompter::inputBox(const QString &prompt, const QString &title, const QString &defaultText)
{
    const QString typed = m_shown.inputBox(prompt, title, defaultText);
    m_log.notice(QStringLiteral("asked the person \"%1\", %2")
                     .arg(prompt, typed.isEmpty() ? QStringLiteral("cancelled or typed nothing")
                                                  : QStringLiteral("typed \"%1\"").arg(typed)));
    return typed;
}

Outcome endForLackOfRights(Prompter &prompter, const QString &text, const QString &errorDescription)
{
    MessageBox box;
    box.text = text;
    box.title = QStringLiteral("Korvantis Launcher - ") + errorDescription;
    box.buttons = MsgButtons::OK;
    box.icon = MsgIcon::Information;
    box.systemModal = true;
    // Waits for its OK: the launcher ends after it, which would take a box
    // shown without waiting away unread.
    prompter.messageBox(box);
    return Outcome::LauncherEnds;
}

QString toString(MsgButtons b)
{
    switch (b) {
    case MsgButtons::OK: return QStringLiteral("OK");
    case MsgButtons::OKCancel: return QStringLiteral("OKCancel");
    case MsgButtons::AbortRetryIgnore: return QStringLiteral("AbortRetryIgnore");
    case MsgButtons::YesNoCancel: return QStringLiteral("YesNoCancel");
    case MsgButtons::YesNo: return QStringLiteral("YesNo");
    case MsgButtons::RetryCancel: return QStringLiteral("RetryCancel");
    }
    return QStringLiteral("?");
}

QString toString(MsgIcon i)
{
    switch (i) {
    case MsgIcon::None: return QStringLiteral("None");
    case MsgIcon::Critical: return QStringLiteral("Critical");
    case MsgIcon::Question: return QStringLiteral("Question");
    case MsgIcon::Exclamation: return QStringLiteral("Exclamation");
    case MsgIcon::Information: return QStringLiteral("Information");
    }
    return QStringLiteral("?");
}

QString toString(MsgResult r)
{
    switch (r) {
    case MsgResult::OK: return QStringLiteral("OK");
    case MsgResult::Cancel: return QStringLiteral("Cancel");
    case MsgResult::Abort: return QStringLiteral("Abort");
    case MsgResult::Retry: return QStringLiteral("Retry");
    case MsgResult::Ignore: return QStringLiteral("Ignore");
    case MsgResult::Yes: return QStringLiteral("Yes");
    case MsgResult::No: return QStringLiteral("No");
    }
    return QStringLiteral("?");
}

} // namespace kv
