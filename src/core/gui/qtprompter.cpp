#include "core/gui/qtprompter.h"

#include <QApplication>
#include <QCloseEvent>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>

#include <utility>
#include <vector>

namespace kv {

namespace {

std::vector<std::pair<QMessageBox::StandardButton, MsgResult>> buttonsOf(MsgButtons b)
{
    using SB = QMessageBox::StandardButton;
    switch (b) {
    case MsgButtons::OK: return {{SB::Ok, MsgResult::OK}};
    case MsgButtons::OKCancel: return {{SB::Ok, MsgResult::OK}, {SB::Cancel, MsgResult::Cancel}};
    case MsgButtons::AbortRetryIgnore:
        return {{SB::Abort, MsgResult::Abort}, {SB::Retry, MsgResult::Retry}, {SB::Ignore, MsgResult::Ignore}};
    case MsgButtons::YesNoCancel:
        return {{SB::Yes, MsgResult::Yes}, {SB::No, MsgResult::No}, {SB::Cancel, MsgResult::Cancel}};
    case MsgButtons::YesNo: return {{SB::Yes, MsgResult::Yes}, {SB::No, MsgResult::No}};
    case MsgButtons::RetryCancel: return {{SB::Retry, MsgResult::Retry}, {SB::Cancel, MsgResult::Cancel}};
    }
    return {{SB::Ok, MsgResult::OK}};
}

QMessageBox::Icon iconOf(MsgIcon i)
{
    switch (i) {
    case MsgIcon::None: return QMessageBox::NoIcon;
    case MsgIcon::Critical: return QMessageBox::Critical;
    case MsgIcon::Question: return QMessageBox::Question;
    case MsgIcon::Exclamation: return QMessageBox::Warning;
    case MsgIcon::Information: return QMessageBox::Information;
    }
    return QMessageBox::NoIcon;
}

void raiseAboveAll(QWidget &w, bool onTop)
{
    w.setWindowModality(Qt::ApplicationModal);
    // A till has no other work to do while the launcher asks: keep the
    // question above the front-end's full-screen window.
    if (onTop)
        w.setWindowFlag(Qt::WindowStaysOnTopHint, true);
}

// A question without Cancel (Yes/No, Abort/Retry/Ignore) has no answer
// that means "leave things as they are": Escape and the window's close
// button do nothing, so a stray key never quits the till's programs.
class QuestionBox final : public QMessageBox {
public:
    bool mustAnswer = false;

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if (mustAnswer && event->matches(QKeySequence::Cancel))
            return;
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent *event) override
    {
        if (mustAnswer && !clickedButton()) {
            event->ignore();
            return;
        }
        QMessageBox::closeEvent(event);
    }
};

} // namespace

MsgResult QtPrompter::messageBox(const MessageBox &box)
{
    QuestionBox mb;
    mb.setWindowTitle(box.title);
    mb.setText(box.text);
    mb.setIcon(iconOf(box.icon));
    raiseAboveAll(mb, box.systemModal);

    const auto buttons = buttonsOf(box.buttons);
    int mask = 0;
    for (const auto &b : buttons)
        mask |= b.first;
    mb.mustAnswer = buttons.size() > 1 && !(mask & QMessageBox::Cancel);
    if (mb.mustAnswer) {
        mb.setWindowFlag(Qt::CustomizeWindowHint, true);
        mb.setWindowFlag(Qt::WindowTitleHint, true);
        mb.setWindowFlag(Qt::WindowCloseButtonHint, false);
    }
    mb.setStandardButtons(QMessageBox::StandardButtons(mask));
    const std::size_t def = box.defaultButton >= 1 && std::size_t(box.defaultButton) <= buttons.size()
                                ? std::size_t(box.defaultButton - 1)
                                : 0;
    mb.setDefaultButton(buttons[def].first);

    mb.exec();
    const auto clicked = mb.standardButton(mb.clickedButton());
    for (const auto &b : buttons) {
        if (b.first == clicked)
            return b.second;
    }
    // Left without a button (Escape where there is Cancel, or the launcher
    // ending while it asks): the answer that changes least.
    for (const auto &b : buttons) {
        if (b.second == MsgResult::Cancel || b.second == MsgResult::No)
            return b.second;
    }
    return buttons.front().second;
}

QtPrompter::~QtPrompter()
{
    for (const QPointer<QMessageBox> &box : std::as_const(m_open))
        delete box.data();
}

void QtPrompter::showMessage(const MessageBox &box)
{
    // The same news again (the printer is still away at the next sale) is
    // the box already open, raised again: a pile of modal boxes would lock
    // every other window of the launcher until each was closed.
    m_open.removeAll(nullptr);
    for (const QPointer<QMessageBox> &open : std::as_const(m_open)) {
        if (open->isVisible() && open->text() == box.text && open->windowTitle() == box.title &&
            open->icon() == iconOf(box.icon)) {
            open->raise();
            open->activateWindow();
            return;
        }
    }
    auto *mb = new QMessageBox;
    mb->setAttribute(Qt::WA_DeleteOnClose);
    mb->setWindowTitle(box.title);
    mb->setText(box.text);
    mb->setIcon(iconOf(box.icon));
    mb->setStandardButtons(QMessageBox::Ok);
    mb->setDefaultButton(QMessageBox::Ok);
    // Modal all the same: shown, not executed, so nothing waits for it.
    raiseAboveAll(*mb, box.systemModal);
    m_open.append(mb);
    mb->show();
    mb->raise();
    mb->activateWindow();
}

QString QtPrompter::inputBox(const QString &prompt, const QString &title, const QString &defaultText)
{
    QInputDialog dlg;
    dlg.setWindowTitle(title);
    dlg.setLabelText(prompt);
    dlg.setTextValue(defaultText);
    raiseAboveAll(dlg, true);
    if (dlg.exec() != QDialog::Accepted)
        return QString();
    return dlg.textValue();
}

void QtPrompter::setBusyCursor(bool busy)
{
    // Not a stack: like a mouse pointer setting, showing twice and restoring
    // once leaves the normal pointer.
    if (busy == m_busy)
        return;
    m_busy = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

} // namespace kv
