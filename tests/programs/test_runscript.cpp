// run.sh, byte for byte in each case, and run for real.
#include "programs/vbRunScript.h"

#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>

using kv::Outcome;
using kv::runscript::writeRunScript;

namespace {

const QString kAsk =
    QStringLiteral("What is the executable name for your Korvantis installation? (eg. korvantis.exe)");
const QString kNotFound = QStringLiteral(
    "Your Korvantis executable could not be located. You need to edit run.sh to configure Korvantis to run "
    "correctly.");

QByteArray script(const char *line3)
{
    return QByteArray("#!/bin/sh\n"
                      "# Enter commands to run korvantis here\n") +
           line3 +
           "\n# End commands here\n"
           "printf '%s\\r\\n' '$$finished$$'\n";
}

class RunScript : public ::testing::Test {
protected:
    testsupport::TempAppDir dir;
    kv::AppContext ctx{dir.path(), QStringLiteral("korvantis-launcher")};
    testsupport::ScriptedPrompter prompter;

    QByteArray written() const { return dir.read(QStringLiteral("run.sh")); }
    void frontEnd(const QString &name, const QByteArray &body = "#!/bin/sh\nexit 0\n")
    {
        dir.write(name, body);
        QFile::setPermissions(dir.file(name), QFile::permissions(dir.file(name)) | QFileDevice::ExeOwner);
    }
};

TEST_F(RunScript, ChoosesTheFrontEndFoundOrTypedAndReplacesTheOldScript)
{
    const struct {
        const char *present; // added to what earlier cases left
        QString typed;       // "" when nothing may be asked
        const char *line;
    } cases[] = {
        // Found one after the other, so each case sees the earlier ones' files.
        {"till.exe", "*.exe", "./*.exe \"$@\""}, // a typed wildcard counts as found
        {"pos-client", "pos-client", "./pos-client \"$@\""},
        {"korvantis.exe", {}, "./korvantis.exe \"$@\""},
        {"dralfrontend.exe", {}, "./dralfrontend.exe \"$@\""}, // wins over korvantis.exe
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        dir.write(QStringLiteral("run.sh"), "hand edited, much longer than the new script will be ........."
                                            "....................................................\n");
        frontEnd(QString::fromLatin1(c.present));
        if (!c.typed.isEmpty())
            prompter.expectInput(kAsk, c.typed, QStringLiteral("Korvantis Launcher"));
        EXPECT_EQ(writeRunScript(ctx, prompter), Outcome::Continue);
        prompter.verifyDone();
        EXPECT_EQ(written(), script(c.line));
        EXPECT_TRUE(QFileInfo(dir.file(QStringLiteral("run.sh"))).isExecutable());
    }
}

TEST_F(RunScript, CancelledOrUnknownNameLeavesTheCommentLine)
{
    QDir(dir.path()).mkdir(QStringLiteral("subdir"));
    frontEnd(QStringLiteral(".hidden.exe"));
    for (const QString &typed : {QString(), QStringLiteral("missing.exe"), QStringLiteral("subdir"),
                                QStringLiteral(".hidden.exe")}) {
        SCOPED_TRACE(typed.toStdString());
        prompter.expectInput(kAsk, typed)
            .expectMessage(kNotFound, kv::MsgButtons::OK, kv::MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                           kv::MsgIcon::Exclamation, true);
        EXPECT_EQ(writeRunScript(ctx, prompter), Outcome::Continue);
        EXPECT_EQ(written(), script("# Your Korvantis executable could not be located."));
    }
}

TEST_F(RunScript, UnwritableScriptEndsTheLauncher)
{
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("run.sh")));
    prompter.expectMessage(
        QStringLiteral("You do not have sufficient rights to create a run file. Please restart as Administrator."),
        kv::MsgButtons::OK, kv::MsgResult::OK, std::nullopt, kv::MsgIcon::Information, true);
    EXPECT_EQ(writeRunScript(ctx, prompter), Outcome::LauncherEnds);
    ASSERT_EQ(prompter.shownMessages().size(), 1);
    EXPECT_TRUE(prompter.shownMessages().first().title.startsWith(QStringLiteral("Korvantis Launcher - ")));
}

// The script text is pinned above; this shows sh passes the arguments on
// unchanged and prints the marker whatever the front-end's exit code.
TEST_F(RunScript, RunsTheFrontEndWithItsArgumentsThenPrintsTheMarker)
{
    frontEnd(QStringLiteral("dralfrontend.exe"), "#!/bin/sh\nprintf 'args:%s|' \"$@\"\nexit 3\n");
    ASSERT_EQ(writeRunScript(ctx, prompter), Outcome::Continue);
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(dir.file(QStringLiteral("run.sh")), {QStringLiteral("-v"), QStringLiteral("stationid=4"),
                                                 QStringLiteral("two words")});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.readAll(), QByteArray("args:-v|args:stationid=4|args:two words|$$finished$$\r\n"));
}

} // namespace
