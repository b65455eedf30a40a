#include "core/prompter.h"

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

} // namespace

MsgResult LoggingPrompter::messageBox(const MessageBox &box)
{
    const MsgResult answer = m_shown.messageBox(box);
    m_log.log(priorityOf(box.icon), described(box.text, box.title) + QStringLiteral(", answered ") + toString(answer));
    return answer;
}

void LoggingPrompter::showMessage(const MessageBox &box)
{
    // The box stays up while the launcher goes on; its only answer is OK.
    m_log.log(priorityOf(box.icon), described(box.text, box.title) + QStringLiteral(", shown without waiting"));
    m_shown.showMessage(box);
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
