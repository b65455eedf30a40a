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

} // namespace
