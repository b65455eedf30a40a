#include "scriptedprompter.h"

#include <gtest/gtest.h>

namespace testsupport {

ScriptedPrompter::~ScriptedPrompter()
{
    if (!m_verified)
        verifyDone();
}

ScriptedPrompter &ScriptedPrompter::expectMessage(const QString &text, kv::MsgButtons buttons,
                                                  kv::MsgResult answer, std::optional<QString> title,
                                                  std::optional<kv::MsgIcon> icon,
                                                  std::optional<bool> systemModal)
{
    Step s;
    s.text = text;
    s.buttons = buttons;
    s.answer = answer;
    s.title = std::move(title);
    s.icon = icon;
    s.systemModal = systemModal;
    m_script.push_back(std::move(s));
    return *this;
}

ScriptedPrompter &ScriptedPrompter::expectInput(const QString &prompt, const QString &typed,
                                                std::optional<QString> title)
{
    Step s;
    s.input = true;
    s.text = prompt;
    s.typed = typed;
    s.title = std::move(title);
    m_script.push_back(std::move(s));
    return *this;
}

void ScriptedPrompter::verifyDone()
{
    m_verified = true;
    for (const Step &s : m_script)
        ADD_FAILURE() << "expected " << (s.input ? "input box" : "message box")
                      << " never shown: \"" << s.text.toStdString() << "\"";
    m_script.clear();
}

kv::MsgResult ScriptedPrompter::messageBox(const kv::MessageBox &box)
{
    m_shown.append(box);
    if (m_script.empty() || m_script.front().input) {
        ADD_FAILURE() << "unexpected message box: \"" << box.text.toStdString() << "\" titled \""
                      << box.title.toStdString() << "\"";
        // The safest answer a person could give to something unasked.
        switch (box.buttons) {
        case kv::MsgButtons::YesNo:
        case kv::MsgButtons::YesNoCancel: return kv::MsgResult::No;
        case kv::MsgButtons::OK: return kv::MsgResult::OK;
        default: return kv::MsgResult::Cancel;
        }
    }
    const Step s = m_script.front();
    m_script.pop_front();
    EXPECT_EQ(box.text.toStdString(), s.text.toStdString()) << "message box text";
    EXPECT_EQ(kv::toString(box.buttons).toStdString(), kv::toString(s.buttons).toStdString())
        << "buttons of \"" << box.text.toStdString() << "\"";
    if (s.title) {
        EXPECT_EQ(box.title.toStdString(), s.title->toStdString()) << "title of \"" << box.text.toStdString() << "\"";
    }
    if (s.icon) {
        EXPECT_EQ(kv::toString(box.icon).toStdString(), kv::toString(*s.icon).toStdString())
            << "icon of \"" << box.text.toStdString() << "\"";
    }
    if (s.systemModal) {
        EXPECT_EQ(box.systemModal, *s.systemModal) << "modality of \"" << box.text.toStdString() << "\"";
    }
    return s.answer;
}

QString ScriptedPrompter::inputBox(const QString &prompt, const QString &title, const QString &)
{
    if (m_script.empty() || !m_script.front().input) {
        ADD_FAILURE() << "unexpected input box: \"" << prompt.toStdString() << "\"";
        return QString();
    }
    const Step s = m_script.front();
    m_script.pop_front();
    EXPECT_EQ(prompt.toStdString(), s.text.toStdString()) << "input box prompt";
    if (s.title) {
        EXPECT_EQ(title.toStdString(), s.title->toStdString()) << "input box title";
    }
    return s.typed;
}

void ScriptedPrompter::setBusyCursor(bool busy)
{
    m_busy = busy;
    m_busyChanges.append(busy);
}

} // namespace testsupport
