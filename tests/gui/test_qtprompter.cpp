// The Qt prompter: the right buttons and default, the pressed button mapped
// back, and questions a stray key cannot answer.
#include "core/gui/qtprompter.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <functional>

namespace {

QApplication &app() { return testsupport::qtApp<QApplication>(); }

// Runs `act` on the modal window once it is up.
void whenModalShows(std::function<void(QWidget *)> act)
{
    auto *timer = new QTimer(&app());
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act]() {
        if (QWidget *w = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            act(w);
        }
    });
    timer->start();
}

void pressEscape(QWidget *w)
{
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(w, &escape);
}

TEST(QtPrompter, EveryButtonSetShowsItsButtonsAndDefaultAndMapsBack)
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
        {kv::MsgButtons::OKCancel, 1, B::Ok | B::Cancel, B::Ok, B::Cancel, kv::MsgResult::Cancel},
        {kv::MsgButtons::AbortRetryIgnore, 3, B::Abort | B::Retry | B::Ignore, B::Ignore, B::Ignore,
         kv::MsgResult::Ignore},
        {kv::MsgButtons::RetryCancel, 2, B::Retry | B::Cancel, B::Cancel, B::Retry, kv::MsgResult::Retry},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(kv::toString(c.buttons).toStdString());
        kv::MessageBox box;
        box.text = QStringLiteral("Keep the card reader running?");
        box.buttons = c.buttons;
        box.defaultButton = c.defaultButton;
        box.systemModal = true;
        whenModalShows([&](QWidget *w) {
            auto *mb = qobject_cast<QMessageBox *>(w);
            ASSERT_NE(mb, nullptr);
            EXPECT_EQ(mb->standardButtons(), c.shown);
            EXPECT_EQ(mb->standardButton(mb->defaultButton()), c.isDefault);
            EXPECT_TRUE(mb->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
            mb->button(c.press)->click();
        });
        EXPECT_EQ(p.messageBox(box), c.expected);
    }
}

// On "keep all supporting programs open?" No would end them: Escape and the
// close button are no answer where there is no Cancel.
TEST(QtPrompter, QuestionWithoutCancelIsNotDismissedElseEscapeIsCancel)
{
    app();
    kv::QtPrompter p;
    kv::MessageBox box;
    box.text = QStringLiteral("Do you want to keep all supporting programs open?");
    box.buttons = kv::MsgButtons::YesNo;
    bool stayed = false;
    whenModalShows([&](QWidget *w) {
        pressEscape(w);
        w->close();
        stayed = w->isVisible() && !w->windowFlags().testFlag(Qt::WindowCloseButtonHint);
        qobject_cast<QMessageBox *>(w)->button(QMessageBox::Yes)->click();
    });
    EXPECT_EQ(p.messageBox(box), kv::MsgResult::Yes);
    EXPECT_TRUE(stayed);
    box.buttons = kv::MsgButtons::OKCancel;
    whenModalShows(pressEscape);
    EXPECT_EQ(p.messageBox(box), kv::MsgResult::Cancel);
}

} // namespace
