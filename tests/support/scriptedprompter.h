// A prompter that plays a script of expected prompts. An unexpected text, a
// wrong button set or icon, or an expected prompt that never came fails the
// test that owns it.
#pragma once

#include "core/prompter.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <optional>

namespace testsupport {

class ScriptedPrompter : public kv::Prompter {
public:
    ~ScriptedPrompter() override { verifyDone(); }

    // Expect a message box with this text and these buttons; answer with
    // `answer`. Title, icon and modality are checked when given.
    void expectMessage(const QString &text, kv::MsgButtons buttons, kv::MsgResult answer,
                       std::optional<QString> title = std::nullopt, std::optional<kv::MsgIcon> icon = std::nullopt,
                       std::optional<bool> systemModal = std::nullopt)
    {
        m_script.push_back({false, text, buttons, answer, {}, std::move(title), icon, systemModal});
    }
    // Expect a box shown without waiting that the person leaves open until
    // answerOpen.
    void expectOpenBox(const QString &text, kv::MsgButtons buttons)
    {
        m_script.push_back({false, text, buttons, kv::MsgResult::OK, {}, {}, {}, {}, true});
    }
    // The person answers the box with this text that was left open.
    void answerOpen(const QString &text, kv::MsgResult answer);
    // How often the box with this text was raised again while open.
    int raised(const QString &text) const { return m_raised.value(text); }
    // Expect an input box with this prompt; answer with `typed`.
    void expectInput(const QString &prompt, const QString &typed, std::optional<QString> title = std::nullopt)
    {
        m_script.push_back({true, prompt, kv::MsgButtons::OK, kv::MsgResult::OK, typed, std::move(title), {}, {}});
    }

    // Fails the test for every expected prompt that did not come yet.
    void verifyDone();

    const QList<kv::MessageBox> &shownMessages() const { return m_shown; }
    // Whether the last busy-cursor change showed it.
    bool busy() const { return m_busy; }

    // Texts of the boxes shown without waiting for the answer, in order.
    const QStringList &shownWithoutWaiting() const { return m_shownWithoutWaiting; }

    kv::MsgResult messageBox(const kv::MessageBox &box) override { return play(box, true); }
    std::shared_ptr<kv::OpenBox> openBox(const kv::MessageBox &box) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &defaultText) override;
    void setBusyCursor(bool busy) override { m_busy = busy; }

private:
    kv::MsgResult play(const kv::MessageBox &box, bool waited);

    struct Step {
        bool input;
        QString text;
        kv::MsgButtons buttons;
        kv::MsgResult answer;
        QString typed;
        std::optional<QString> title;
        std::optional<kv::MsgIcon> icon;
        std::optional<bool> systemModal;
        bool leftOpen = false;
    };
    std::deque<Step> m_script;
    QList<kv::MessageBox> m_shown;
    QStringList m_shownWithoutWaiting;
    QList<std::shared_ptr<kv::OpenBox>> m_open;
    QHash<QString, int> m_raised;
    bool m_busy = false;
};

} // namespace testsupport
