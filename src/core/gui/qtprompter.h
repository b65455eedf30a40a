// The prompter on Qt Widgets: what the person at the till actually sees.
#pragma once

#include "core/prompter.h"

#include <QList>
#include <QMessageBox>
#include <QPointer>

namespace kv {

class QtPrompter final : public Prompter {
public:
    ~QtPrompter() override;
    MsgResult messageBox(const MessageBox &box) override;
    std::shared_ptr<OpenBox> openBox(const MessageBox &box) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &defaultText) override;
    void setBusyCursor(bool busy) override;

private:
    bool m_busy = false;
    // Boxes shown without waiting and not closed yet; they go with the
    // prompter.
    QList<QPointer<QMessageBox>> m_open;
};

} // namespace kv
