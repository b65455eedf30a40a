#include "programs/vbRunScript.h"

#include "core/helpers.h"
#include "core/textconv.h"

#include <QFile>

namespace kv::runscript {

namespace {

const QString kTitle = QStringLiteral("Korvantis Launcher");

// The front-end line for a name found beside the launcher. The name is
// written as found or typed, so a typed wildcard still works through the
// shell's own globbing, as it would have on the till before.
QString commandLine(const QString &executable)
{
    return QStringLiteral("./") + executable + QStringLiteral(" \"$@\"");
}

QString chooseCommandLine(const AppContext &ctx, Prompter &prompter)
{
    if (fileExists(ctx.appPath() + QStringLiteral("dralfrontend.exe")))
        return commandLine(QStringLiteral("dralfrontend.exe"));
    if (fileExists(ctx.appPath() + QStringLiteral("korvantis.exe")))
        return commandLine(QStringLiteral("korvantis.exe"));

    const QString typed = prompter.inputBox(
        QStringLiteral("What is the executable name for your Korvantis installation? (eg. korvantis.exe)"), kTitle,
        QString());
    if (fileExists(ctx.appPath() + typed))
        return commandLine(typed);

    MessageBox box;
    box.text = QStringLiteral("Your Korvantis executable could not be located. You need to edit run.sh to "
                              "configure Korvantis to run correctly.");
    box.title = kTitle;
    box.buttons = MsgButtons::OK;
    box.icon = MsgIcon::Exclamation;
    box.systemModal = true;
    prompter.messageBox(box);
    return QStringLiteral("# Your Korvantis executable could not be located.");
}

} // namespace

Outcome writeRunScript(const AppContext &ctx, Prompter &prompter)
{
    const QString path = ctx.appPath() + QLatin1String(kRunScriptName);
    QFile f(path);
    QString error;
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        const QString script = QStringLiteral("#!/bin/sh\n"
                                              "# Enter commands to run korvantis here\n") +
                               chooseCommandLine(ctx, prompter) +
                               QStringLiteral("\n"
                                              "# End commands here\n"
                                              "printf '%s\\r\\n' '$$finished$$'\n");
        const QByteArray bytes = script.toUtf8();
        const bool written = f.write(bytes) == bytes.size() && f.flush();
        const bool executable = f.setPermissions(f.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                                 QFileDevice::ExeOther);
        if (written && executable) {
            f.close();
            return Outcome::Continue;
        }
    }
    error = f.errorString();
    f.close();

    return endForLackOfRights(
        prompter,
        QStringLiteral("You do not have sufficient rights to create a run file. Please restart as Administrator."),
        error);
}

} // namespace kv::runscript
