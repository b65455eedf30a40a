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
    // Kept above the front-end's full-screen window, where the cashier sees
    // it; modal, so that the launcher's own windows wait for the answer
    // (the loop does not: see Prompter::openBox).
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

// The box as the launcher shows it, asked with exec or shown without waiting.
void setUp(QuestionBox &mb, const MessageBox &box)
{
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
}

MsgResult answerOf(const QMessageBox &mb, MsgButtons shown)
{
    const auto buttons = buttonsOf(shown);
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

} // namespace

MsgResult QtPrompter::messageBox(const MessageBox &box)
{
    QuestionBox mb;
    setUp(mb, box);
    mb.exec();
    return answerOf(mb, box.buttons);
}

QtPrompter::~QtPrompter()
{
    for (const QPointer<QMessageBox> &box : std::as_const(m_open))
        delete box.data();
}

std::shared_ptr<OpenBox> QtPrompter::openBox(const MessageBox &box)
{
    m_open.removeAll(nullptr);
    auto shown = std::make_shared<OpenBox>(box);
    auto *mb = new QuestionBox;
    mb->setAttribute(Qt::WA_DeleteOnClose);
    // Modal all the same: shown, not executed, so nothing waits for it.
    setUp(*mb, box);
    QPointer<QMessageBox> guard(mb);
    shown->setRaise([guard] {
        if (guard) {
            guard->raise();
            guard->activateWindow();
        }
    });
    // The box keeps its handle until it goes; the answer is only written
    // down here, and the one who asked acts on it when it looks.
    QObject::connect(mb, &QDialog::finished, mb,
                     [mb, shown, buttons = box.buttons] { shown->answered(answerOf(*mb, buttons)); });
    m_open.append(mb);
    mb->show();
    mb->raise();
    mb->activateWindow();
    return shown;
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
