// The Qt windows of the core: the prompter's buttons, default and answers,
// questions a stray key cannot answer; notices that count down and close
// themselves; the tray's icon and menu.
#include "core/gui/frmNotice.h"
#include "core/gui/qtprompter.h"
#include "launcher/gui/vbSysTray.h"
#include "launcherfakes.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <functional>

namespace {

// Runs `act` on the modal window once its own event loop runs.
void whenModalShows(std::function<void(QWidget *)> act)
{
    QTimer::singleShot(0, &testsupport::qtApp<QApplication>(), [act] { act(QApplication::activeModalWidget()); });
}

void pressEscape(QWidget *w)
{
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(w, &escape);
}

TEST(QtPrompter, EveryButtonSetMapsBackAndAQuestionWithoutCancelIsNotDismissed)
{
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

    // On "keep all supporting programs open?" No would end them: Escape and
    // the close button are no answer where there is no Cancel.
    kv::MessageBox box;
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
    // Closed by the program (the launcher ending while it asks): No.
    whenModalShows([](QWidget *w) { qobject_cast<QDialog *>(w)->reject(); });
    EXPECT_EQ(p.messageBox(box), kv::MsgResult::No);
    box.buttons = kv::MsgButtons::OKCancel;
    whenModalShows(pressEscape);
    EXPECT_EQ(p.messageBox(box), kv::MsgResult::Cancel);
}

// "Could not connect to the printer." stays up for the cashier while the
// loop goes on: the call returns with the box shown, modal and on top; OK
// closes and deletes it.
TEST(QtPrompter, AnOkBoxShownWithoutWaitingStaysUntilOk)
{
    testsupport::qtApp<QApplication>();
    const kv::MessageBox box{.text = QStringLiteral("Could not connect to the printer."),
                             .title = QStringLiteral("Korvantis Launcher"), .icon = kv::MsgIcon::Critical,
                             .systemModal = true};
    QPointer<QMessageBox> shown;
    {
        kv::QtPrompter p;
        p.showMessage(box);
        shown = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(shown, nullptr) << "no modal box after the call returned";
        EXPECT_TRUE(shown->isVisible());
        EXPECT_EQ(shown->text(), box.text);
        EXPECT_EQ(shown->windowTitle(), box.title);
        EXPECT_EQ(shown->icon(), QMessageBox::Critical);
        EXPECT_EQ(shown->standardButtons(), QMessageBox::Ok);
        EXPECT_TRUE(shown->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        shown->button(QMessageBox::Ok)->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(shown.isNull()) << "a closed box is kept";
        p.showMessage(box);
        shown = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    }
    EXPECT_TRUE(shown.isNull()) << "a box left open outlives the prompter";
}

// Runs deferred deletions: a closed notice is gone after this.
void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

// Each notice is a modeless window of its own, counting down two hours; OK
// closes only its own.
TEST(NoticeWindows, EachCountsDownTwoHoursOnItsOwnThenCloses)
{
    testsupport::qtApp<QApplication>();
    kv::QtNoticeSink().showNotice({QStringLiteral("Korvantis network activity"), QStringLiteral("lost"), QString()});
    kv::QtNoticeSink().showNotice({QStringLiteral("Korvantis network activity"), QStringLiteral("back"), QString()});
    QList<kv::frmNotice *> shown;
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *n = qobject_cast<kv::frmNotice *>(widget); n && n->isVisible())
            shown.append(n);
    ASSERT_EQ(shown.size(), 2);
    QPointer<kv::frmNotice> w = shown[0], other = shown[1];
    EXPECT_FALSE(w->isModal()) << "a notice must not block the till";
    const QLabel *countdown = w->findChild<QLabel *>(QStringLiteral("countdownLabel"));
    EXPECT_EQ(countdown->text(), "") << "empty during the first second";
    const struct { int tick; const char *shown; } steps[] = {{1, "119"}, {60, "119"}, {61, "118"}, {7199, "0"}};
    for (int ticked = 0; const auto &s : steps) {
        for (; ticked < s.tick; ++ticked)
            w->Timer1_Timer();
        settle();
        ASSERT_TRUE(w) << "closed early, at tick " << ticked;
        EXPECT_EQ(countdown->text(), QStringLiteral("Automatically closing this window in %1 minutes").arg(s.shown));
    }
    EXPECT_EQ(other->secondsLeft(), 7200);
    w->Timer1_Timer();
    settle();
    EXPECT_FALSE(w) << "still there after 7200 ticks";
    ASSERT_TRUE(other);
    other->findChild<QPushButton *>(QStringLiteral("Command1"))->click();
    settle();
    EXPECT_FALSE(other);
}

} // namespace

// The icon is read from PNGs without Qt guessing their format, and the menu
// is built at the first click: the icon must still have pixels, and Exit
// must follow what the launcher said before the menu existed.
TEST(Tray, IconHasPixelsAndTheMenuBuiltLateKeepsExitAsTold)
{
    testsupport::qtApp<QApplication>();
    launcherfakes::LauncherRig rig;
    kv::Launcher launcher(rig.parts());
    kv::SysTray tray(launcher);

    const QImage image = tray.trayIcon().icon().pixmap(22).toImage();
    ASSERT_FALSE(image.isNull());
    bool drawn = false;
    for (int y = 0; y < image.height() && !drawn; ++y)
        for (int x = 0; x < image.width() && !drawn; ++x)
            drawn = qAlpha(image.pixel(x, y)) > 0;
    EXPECT_TRUE(drawn) << "an empty icon";

    for (const bool available : {false, true}) {
        tray.setExitAvailable(available);
        emit tray.trayIcon().activated(QSystemTrayIcon::Trigger);
        QMenu *menu = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *m = qobject_cast<QMenu *>(w); m && m->isVisible())
                menu = m;
        ASSERT_NE(menu, nullptr);
        const QList<QAction *> actions = menu->actions();
        ASSERT_FALSE(actions.isEmpty());
        EXPECT_EQ(actions.last()->text(), QStringLiteral("Exit"));
        EXPECT_EQ(actions.last()->isEnabled(), available);
        tray.removeTrayIcon();
        EXPECT_FALSE(menu->isVisible());
    }
}
