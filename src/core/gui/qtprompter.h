// The prompter on Qt Widgets: what the person at the till actually sees.
#pragma once

#include "core/prompter.h"

namespace kv {

class QtPrompter final : public Prompter {
public:
    MsgResult messageBox(const MessageBox &box) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &defaultText) override;
    void setBusyCursor(bool busy) override;

private:
    bool m_busy = false;
};

} // namespace kv
