// The scripted prompter is what every other test trusts to catch a wrong
// message: it must fail the test for each kind of mismatch.
#include "scriptedprompter.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

using kv::MsgButtons;
using kv::MsgResult;
using testsupport::ScriptedPrompter;

namespace {

kv::MessageBox box(const char *text, MsgButtons b, kv::MsgIcon icon = kv::MsgIcon::None)
{
    kv::MessageBox m;
    m.text = QString::fromUtf8(text);
    m.buttons = b;
    m.icon = icon;
    m.title = QStringLiteral("Korvantis Launcher");
    return m;
}

TEST(ScriptedPrompter, PlaysItsScriptInOrder)
{
    ScriptedPrompter p;
    p.expectMessage(QStringLiteral("one"), MsgButtons::YesNo, MsgResult::No)
        .expectInput(QStringLiteral("name?"), QStringLiteral("pos"))
        .expectMessage(QStringLiteral("two"), MsgButtons::OK, MsgResult::OK, QStringLiteral("Korvantis Launcher"),
                       kv::MsgIcon::Critical);
    EXPECT_EQ(p.messageBox(box("one", MsgButtons::YesNo)), MsgResult::No);
    EXPECT_EQ(p.inputBox(QStringLiteral("name?"), QString(), QString()), QStringLiteral("pos"));
    EXPECT_EQ(p.messageBox(box("two", MsgButtons::OK, kv::MsgIcon::Critical)), MsgResult::OK);
    p.verifyDone();
    EXPECT_EQ(p.shownMessages().size(), 2);
}

TEST(ScriptedPrompter, FailsOnUnexpectedMessage)
{
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedPrompter p;
            p.messageBox(box("surprise", MsgButtons::OK));
        },
        "unexpected message box: \"surprise\"");
}

TEST(ScriptedPrompter, FailsOnWrongTextOrButtonsOrIcon)
{
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedPrompter p;
            p.expectMessage(QStringLiteral("right"), MsgButtons::OK, MsgResult::OK);
            p.messageBox(box("wrong", MsgButtons::OK));
        },
        "message box text");
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedPrompter p;
            p.expectMessage(QStringLiteral("q"), MsgButtons::YesNo, MsgResult::Yes);
            p.messageBox(box("q", MsgButtons::OKCancel));
        },
        "buttons of");
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedPrompter p;
            p.expectMessage(QStringLiteral("q"), MsgButtons::OK, MsgResult::OK, std::nullopt, kv::MsgIcon::Critical);
            p.messageBox(box("q", MsgButtons::OK, kv::MsgIcon::Information));
        },
        "icon of");
}

TEST(ScriptedPrompter, FailsWhenAnExpectedPromptNeverCame)
{
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedPrompter p;
            p.expectMessage(QStringLiteral("never"), MsgButtons::OK, MsgResult::OK);
        },
        "never shown: \"never\"");
}

TEST(ScriptedPrompter, RecordsBusyCursorChanges)
{
    ScriptedPrompter p;
    {
        kv::BusyCursor busy(p);
        EXPECT_TRUE(p.busy());
    }
    EXPECT_FALSE(p.busy());
    EXPECT_EQ(p.busyChanges(), (QList<bool>{true, false}));
}

} // namespace
