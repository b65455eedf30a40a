// The Qt prompter shows what it is asked to, with the right buttons, default
// and modality, and reports the button the person pressed.
#include "core/gui/qtprompter.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
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


TEST(QtPrompter, YesNoWithSecondDefaultReturnsClickedButton)
{
    app();
    kv::QtPrompter p;
    QMessageBox::StandardButtons seenButtons;
    QMessageBox::StandardButton seenDefault = QMessageBox::NoButton;
    QString seenText, seenTitle;
    bool onTop = false;
    Qt::WindowModality modality = Qt::NonModal;
    whenModalShows([&](QWidget *w) {
        auto *mb = qobject_cast<QMessageBox *>(w);
        ASSERT_NE(mb, nullptr);
        seenButtons = mb->standardButtons();
        seenDefault = mb->standardButton(mb->defaultButton());
        seenText = mb->text();
        seenTitle = mb->windowTitle();
        onTop = mb->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        modality = mb->windowModality();
        mb->button(QMessageBox::Yes)->click();
    });
    kv::MessageBox box;
    box.text = QStringLiteral("Keep the card reader running?");
    box.title = QStringLiteral("Korvantis Launcher");
    box.buttons = kv::MsgButtons::YesNo;
    box.defaultButton = 2;
    box.icon = kv::MsgIcon::Question;
    box.systemModal = true;
    EXPECT_EQ(p.messageBox(box), kv::MsgResult::Yes);
    EXPECT_EQ(seenButtons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(seenDefault, QMessageBox::No);
    EXPECT_EQ(seenText, box.text);
    EXPECT_EQ(seenTitle, box.title);
    EXPECT_TRUE(onTop);
    EXPECT_EQ(modality, Qt::ApplicationModal);
}

TEST(QtPrompter, EveryButtonSetMapsBack)
{
    app();
    kv::QtPrompter p;
    struct Case {
        kv::MsgButtons buttons;
        QMessageBox::StandardButton press;
        kv::MsgResult expected;
    };
    const Case cases[] = {
        {kv::MsgButtons::OK, QMessageBox::Ok, kv::MsgResult::OK},
        {kv::MsgButtons::OKCancel, QMessageBox::Cancel, kv::MsgResult::Cancel},
        {kv::MsgButtons::AbortRetryIgnore, QMessageBox::Ignore, kv::MsgResult::Ignore},
        {kv::MsgButtons::YesNoCancel, QMessageBox::No, kv::MsgResult::No},
        {kv::MsgButtons::RetryCancel, QMessageBox::Retry, kv::MsgResult::Retry},
    };
    for (const Case &c : cases) {
        whenModalShows([&](QWidget *w) {
            auto *mb = qobject_cast<QMessageBox *>(w);
            ASSERT_NE(mb, nullptr);
            ASSERT_NE(mb->button(c.press), nullptr) << kv::toString(c.buttons).toStdString();
            mb->button(c.press)->click();
        });
        kv::MessageBox box;
        box.text = QStringLiteral("?");
        box.buttons = c.buttons;
        EXPECT_EQ(p.messageBox(box), c.expected) << kv::toString(c.buttons).toStdString();
    }
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
