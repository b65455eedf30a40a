// The Qt prompter shows what it is asked to, with the right buttons, default
// and modality, and reports the button the person pressed.
#include "core/gui/qtprompter.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <functional>

namespace {

QApplication &app() { return testsupport::qtApp<QApplication>(); }

// Runs `inspect` on the modal window once it is up.
void whenModalShows(std::function<void(QWidget *)> inspect)
{
    auto *timer = new QTimer(&app());
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, inspect]() {
        if (QWidget *w = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            inspect(w);
        }
    });
    timer->start();
}


// Each button set shows its buttons, the chosen default, text and title,
// application-modal on top, and maps the pressed button back.
TEST(QtPrompter, EveryButtonSetShowsItsButtonsAndMapsBack)
{
    app();
    kv::QtPrompter p;
    using B = QMessageBox;
    const struct {
        kv::MsgButtons buttons;
        int defaultButton;
        QMessageBox::StandardButtons shown;
        QMessageBox::StandardButton isDefault, press;
        kv::MsgResult expected;
    } cases[] = {
        {kv::MsgButtons::YesNo, 2, B::Yes | B::No, B::No, B::Yes, kv::MsgResult::Yes},
        {kv::MsgButtons::OK, 1, B::Ok, B::Ok, B::Ok, kv::MsgResult::OK},
        {kv::MsgButtons::OKCancel, 1, B::Ok | B::Cancel, B::Ok, B::Cancel, kv::MsgResult::Cancel},
        {kv::MsgButtons::AbortRetryIgnore, 3, B::Abort | B::Retry | B::Ignore, B::Ignore, B::Ignore,
         kv::MsgResult::Ignore},
        {kv::MsgButtons::YesNoCancel, 1, B::Yes | B::No | B::Cancel, B::Yes, B::No, kv::MsgResult::No},
        {kv::MsgButtons::RetryCancel, 2, B::Retry | B::Cancel, B::Cancel, B::Retry, kv::MsgResult::Retry},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(kv::toString(c.buttons).toStdString());
        kv::MessageBox box;
        box.text = QStringLiteral("Keep the card reader running?");
        box.title = QStringLiteral("Korvantis Launcher");
        box.buttons = c.buttons;
        box.defaultButton = c.defaultButton;
        box.icon = kv::MsgIcon::Question;
        box.systemModal = true;
        whenModalShows([&](QWidget *w) {
            auto *mb = qobject_cast<QMessageBox *>(w);
            ASSERT_NE(mb, nullptr);
            EXPECT_EQ(mb->standardButtons(), c.shown);
            EXPECT_EQ(mb->standardButton(mb->defaultButton()), c.isDefault);
            EXPECT_EQ(mb->text(), box.text);
            EXPECT_EQ(mb->windowTitle(), box.title);
            EXPECT_TRUE(mb->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
            EXPECT_EQ(mb->windowModality(), Qt::ApplicationModal);
            ASSERT_NE(mb->button(c.press), nullptr);
            mb->button(c.press)->click();
        });
        EXPECT_EQ(p.messageBox(box), c.expected);
    }
}

// Escape and the close button are no answer to a question without Cancel:
// on "keep all supporting programs open?" No would end them.
TEST(QtPrompter, QuestionWithoutCancelIsNotDismissed)
{
    app();
    kv::QtPrompter p;
    kv::MessageBox box;
    box.text = QStringLiteral("Do you want to keep all supporting programs open?");
    box.buttons = kv::MsgButtons::YesNo;
    bool stayed = false;
    whenModalShows([&](QWidget *w) {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(w, &escape);
        w->close();
        stayed = w->isVisible() && !w->windowFlags().testFlag(Qt::WindowCloseButtonHint);
        qobject_cast<QMessageBox *>(w)->button(QMessageBox::Yes)->click();
    });
    EXPECT_EQ(p.messageBox(box), kv::MsgResult::Yes);
    EXPECT_TRUE(stayed);
    // Where there is Cancel, Escape is Cancel.
    box.buttons = kv::MsgButtons::OKCancel;
    whenModalShows([](QWidget *w) {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(w, &escape);
    });
    EXPECT_EQ(p.messageBox(box), kv::MsgResult::Cancel);
}

TEST(QtPrompter, InputBoxGivesTypedTextOrEmptyOnCancel)
{
    app();
    kv::QtPrompter p;
    QString label;
    whenModalShows([&](QWidget *w) {
        auto *dlg = qobject_cast<QInputDialog *>(w);
        ASSERT_NE(dlg, nullptr);
        label = dlg->labelText();
        dlg->setTextValue(QStringLiteral("pos.exe"));
        dlg->accept();
    });
    EXPECT_EQ(p.inputBox(QStringLiteral("Executable?"), QStringLiteral("T"), QString()), QStringLiteral("pos.exe"));
    EXPECT_EQ(label, QStringLiteral("Executable?"));

    whenModalShows([](QWidget *w) { qobject_cast<QDialog *>(w)->reject(); });
    EXPECT_EQ(p.inputBox(QStringLiteral("Executable?"), QStringLiteral("T"), QStringLiteral("x")), QString());
}

TEST(QtPrompter, BusyCursorIsNotStacked)
{
    app();
    kv::QtPrompter p;
    p.setBusyCursor(true);
    p.setBusyCursor(true);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    p.setBusyCursor(false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    p.setBusyCursor(false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

} // namespace
