// The scripted prompter is what every other test trusts to catch a wrong
// message: it must fail the test for each kind of mismatch.
#include "scriptedprompter.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

using kv::MsgButtons;
using kv::MsgIcon;
using kv::MsgResult;
using testsupport::ScriptedPrompter;

namespace {

void show(ScriptedPrompter &p, const char *text, MsgButtons b, MsgIcon icon = MsgIcon::None)
{
    kv::MessageBox m;
    m.text = QString::fromUtf8(text);
    m.buttons = b;
    m.icon = icon;
    m.title = QStringLiteral("Korvantis Launcher");
    p.messageBox(m);
}

TEST(ScriptedPrompter, FailsOnEveryKindOfMismatch)
{
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedPrompter p;
            show(p, "surprise", MsgButtons::OK);
        },
        "unexpected message box: \"surprise\"");
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedPrompter p;
            p.expectMessage(QStringLiteral("right"), MsgButtons::OK, MsgResult::OK);
            show(p, "wrong", MsgButtons::OK);
        },
        "message box text");
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedPrompter p;
            p.expectMessage(QStringLiteral("q"), MsgButtons::YesNo, MsgResult::Yes);
            show(p, "q", MsgButtons::OKCancel);
        },
        "buttons of");
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedPrompter p;
            p.expectMessage(QStringLiteral("q"), MsgButtons::OK, MsgResult::OK, std::nullopt, MsgIcon::Critical);
            show(p, "q", MsgButtons::OK, MsgIcon::Information);
        },
        "icon of");
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedPrompter p;
            p.expectMessage(QStringLiteral("never"), MsgButtons::OK, MsgResult::OK);
        },
        "never shown: \"never\"");
}

} // namespace
