// run.sh, byte for byte in each case; test_loadmanagedprograms runs it for real.
#include "programs/vbRunScript.h"

#include "scriptedprompter.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

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

} // namespace
