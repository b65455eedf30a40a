#include "scriptedprompter.h"

#include <gtest/gtest.h>

namespace testsupport {

void ScriptedPrompter::verifyDone()
{
    for (const Step &s : m_script)
        ADD_FAILURE() << "expected " << (s.input ? "input box" : "message box") << " never shown: \""
                      << s.text.toStdString() << "\"";
    m_script.clear();
}

kv::MsgResult ScriptedPrompter::play(const kv::MessageBox &box, bool waited)
{
    m_shown.append(box);
    const std::string text = box.text.toStdString();
    if (m_script.empty() || m_script.front().input) {
        ADD_FAILURE() << "unexpected message box: \"" << text << "\" titled \"" << box.title.toStdString() << "\"";
        // The safest answer a person could give to something unasked.
        if (box.buttons == kv::MsgButtons::OK)
            return kv::MsgResult::OK;
        const bool yesNo = box.buttons == kv::MsgButtons::YesNo || box.buttons == kv::MsgButtons::YesNoCancel;
        return yesNo ? kv::MsgResult::No : kv::MsgResult::Cancel;
    }
    const Step s = m_script.front();
    m_script.pop_front();
    EXPECT_EQ(text, s.text.toStdString()) << "message box text";
    EXPECT_FALSE(s.leftOpen && waited) << "waited for the answer to " << text;
    EXPECT_EQ(kv::toString(box.buttons).toStdString(), kv::toString(s.buttons).toStdString()) << "buttons of " << text;
    // What the step leaves open is not checked; the failure names what came.
    EXPECT_TRUE(!s.title || box.title == *s.title) << "title \"" << box.title.toStdString() << "\" of " << text;
    EXPECT_TRUE(!s.icon || box.icon == *s.icon) << "icon " << kv::toString(box.icon).toStdString() << " of " << text;
    EXPECT_TRUE(!s.systemModal || box.systemModal == *s.systemModal) << "modality of " << text;
    return s.answer;
}

std::shared_ptr<kv::OpenBox> ScriptedPrompter::openBox(const kv::MessageBox &box)
{
    m_shownWithoutWaiting.append(box.text);
    const bool leftOpen = !m_script.empty() && m_script.front().leftOpen;
    auto shown = std::make_shared<kv::OpenBox>(box);
    shown->setRaise([this, text = box.text] { ++m_raised[text]; });
    const kv::MsgResult answer = play(box, false);
    if (leftOpen)
        m_open.append(shown);
    else
        shown->answered(answer);
    return shown;
}

void ScriptedPrompter::answerOpen(const QString &text, kv::MsgResult answer)
{
    for (qsizetype i = 0; i < m_open.size(); ++i) {
        if (m_open[i]->box().text == text)
            return m_open.takeAt(i)->answered(answer);
    }
    ADD_FAILURE() << "no open box \"" << text.toStdString() << "\" to answer";
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
    EXPECT_TRUE(!s.title || title == *s.title) << "input box title \"" << title.toStdString() << "\"";
    return s.typed;
}

} // namespace testsupport
