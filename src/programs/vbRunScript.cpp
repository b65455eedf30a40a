#include "programs/vbRunScript.h"

#include "core/helpers.h"
#include "core/textconv.h"

#include "platform/files.h"

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

// The front-end's name, or "" when none is found.
QString chooseFrontEnd(const AppContext &ctx, Prompter &prompter)
{
    for (const QString &name : {QStringLiteral("dralfrontend.exe"), QStringLiteral("korvantis.exe")}) {
        if (fileExists(ctx.appPath() + name))
            return name;
    }
    const QString typed = prompter.inputBox(
        QStringLiteral("What is the executable name for your Korvantis installation? (eg. korvantis.exe)"), kTitle,
        QString());
    if (fileExists(ctx.appPath() + typed))
        return typed;

    MessageBox box;
    box.text = QStringLiteral("Your Korvantis executable could not be located. You need to edit run.sh to "
                              "configure Korvantis to run correctly.");
    box.title = kTitle;
    box.buttons = MsgButtons::OK;
    box.icon = MsgIcon::Exclamation;
    box.systemModal = true;
    prompter.messageBox(box);
    return QString();
}

} // namespace

Outcome writeRunScript(const AppContext &ctx, Prompter &prompter, QString *frontEndName)
{
    // The new script replaces the old one by rename: a front-end started by
    // an earlier launcher may still be running under the old script, and a
    // shell reads its script as it goes. The file is made before anything is
    // asked, so a directory the launcher may not write to is found first.
    platform::FileReplacement script;
    std::string error;
    if (script.begin(text::toUtf8(ctx.appPath() + QLatin1String(kRunScriptName)), 0755, &error)) {
        const QString name = chooseFrontEnd(ctx, prompter);
        if (frontEndName)
            *frontEndName = name;
        const QString content = QStringLiteral("#!/bin/sh\n"
                                               "# Enter commands to run korvantis here\n") +
                                (name.isEmpty() ? QStringLiteral("# Your Korvantis executable could not be located.")
                                                : commandLine(name)) +
                                QStringLiteral("\n"
                                               "# End commands here\n"
                                               "printf '%s\\r\\n' '$$finished$$'\n");
        if (script.write(text::toUtf8(content), &error) && script.commit(&error))
            return Outcome::Continue;
    }
    return endForLackOfRights(
        prompter,
        QStringLiteral("You do not have sufficient rights to create a run file. Please restart as Administrator."),
        text::fromUtf8(error));
}

} // namespace kv::runscript
