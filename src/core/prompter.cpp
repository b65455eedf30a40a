#include "core/prompter.h"

namespace kv {

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
