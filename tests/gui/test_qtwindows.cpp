// The Qt windows: the prompter's boxes that do not wait, questions a stray
// key cannot answer; notices that count down and close themselves; the
// tray's icon and menu. Then the program manager window's widgets against the
// real cluster: Run and Stop per row, the output box, selecting by keyboard
// and typing reaching the row, Close, and a frozen database that never holds
// the window.
#include "core/gui/frmNotice.h"
#include "core/gui/qtprompter.h"
#include "launcher/gui/vbSysTray.h"
#include "programs/gui/Form1Window.h"
#include "form1station.h"
#include "launcherfakes.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <deque>
#include <functional>
#include <sstream>
#include <thread>

namespace {

// The launcher's boxes do not hold it: the call returns with the box up,
// modal and on top. "Keep all supporting programs open?" has no answer that
// leaves things as they are, so Escape and the close button are none; the
// button pressed comes through the handle, and the box goes. A box left open
// goes with the prompter. A waiting box that the program closes answers
// what changes least.
TEST(QtPrompter, ABoxShownWithoutWaitingStaysUntilAButtonAnswersIt)
{
    testsupport::qtApp<QApplication>();
    const kv::MessageBox box{.text = QStringLiteral("Do you want to keep all supporting programs open?"),
                             .title = QStringLiteral("Korvantis Launcher"), .buttons = kv::MsgButtons::YesNo,
                             .defaultButton = 2, .icon = kv::MsgIcon::Question, .systemModal = true};
    QPointer<QMessageBox> shown;
    {
        kv::QtPrompter p;
        const std::shared_ptr<kv::OpenBox> asked = p.openBox(box);
        shown = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(shown, nullptr) << "no modal box after the call returned";
        EXPECT_EQ(shown->text(), box.text);
        EXPECT_TRUE(shown->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QTest::keyClick(shown, Qt::Key_Escape);
        shown->close();
        EXPECT_TRUE(shown->isVisible() && !shown->windowFlags().testFlag(Qt::WindowCloseButtonHint));
        EXPECT_FALSE(asked->answer());
        shown->button(QMessageBox::Yes)->click();
        EXPECT_EQ(asked->answer(), kv::MsgResult::Yes);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(shown.isNull()) << "an answered box is kept";
        p.showMessage(box);
        shown = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(shown, nullptr);
        // Closed by the program once the box's own event loop runs.
        QTimer::singleShot(0, shown, [] { qobject_cast<QDialog *>(QApplication::activeModalWidget())->reject(); });
        EXPECT_EQ(p.messageBox(box), kv::MsgResult::No);
    }
    EXPECT_TRUE(shown.isNull()) << "a box left open outlives the prompter";
}

// Each notice is a modeless window of its own, counting down two hours; OK
// closes only its own. A closed one is deleted with the deferred deletions.
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
    for (int tick = 0; tick < 7199; ++tick)
        w->Timer1_Timer();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_TRUE(w) << "closed early";
    EXPECT_EQ(other->secondsLeft(), 7200);
    w->Timer1_Timer();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(w) << "still there after 7200 ticks";
    ASSERT_TRUE(other);
    other->findChild<QPushButton *>(QStringLiteral("Command1"))->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
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
    QImage blank(image.size(), image.format());
    blank.fill(Qt::transparent);
    EXPECT_FALSE(image.isNull() || image == blank) << "an empty icon";

    for (const bool available : {false, true}) {
        tray.setExitAvailable(available);
        emit tray.trayIcon().activated(QSystemTrayIcon::Trigger);
        QMenu *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        const QList<QAction *> actions = menu->actions();
        ASSERT_FALSE(actions.isEmpty());
        EXPECT_EQ(actions.last()->text(), QStringLiteral("Exit"));
        EXPECT_EQ(actions.last()->isEnabled(), available);
        tray.removeTrayIcon();
        EXPECT_FALSE(menu->isVisible());
    }
}

namespace {

// The longest time the window thread went without running its timers.
struct StallProbe {
    QTimer timer;
    QElapsedTimer since;
    qint64 longest = 0;
    StallProbe()
    {
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] { longestMs(); });
        since.start();
        timer.start(10);
    }
    qint64 longestMs() { return longest = std::max(longest, since.restart()); }
};

// A server that stops answering: the postmaster and every session of the
// test role (the window's kept one among them), frozen until cleared.
std::deque<testenv::Frozen> freezeCluster()
{
    std::istringstream pids(testenv::psql("SELECT pid FROM pg_stat_activity WHERE usename = current_user "
                                          "AND pid <> pg_backend_pid()"));
    std::deque<testenv::Frozen> frozen;
    frozen.emplace_back(testenv::postmasterPid());
    for (int pid = 0; pids >> pid;)
        frozen.emplace_back(pid);
    return frozen;
}

class Form1WindowTest : public ::testing::Test, protected form1test::Station {
protected:
    kv::ThreadWorker worker;
    kv::Form1Window window{mp, shellConf, prompter, clock, worker};

    void SetUp() override
    {
        testsupport::qtApp<QApplication>();
        standardStation();
        mp.setObserver(&window.observer());
        window.showWindow();
    }

    template <typename T = QWidget>
    T *child(const char *name)
    {
        T *w = window.widget()->findChild<T *>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    // Every edit is in its row, by the window's own timer.
    bool saved()
    {
        return QTest::qWaitFor([&] { return !window.logic().hasPending() && !window.logic().jobRunning(); }, 15000);
    }

    bool superviseUntil(const std::function<bool()> &done)
    {
        return QTest::qWaitFor([&] { return mp.superviseManagedPrograms(), done(); }, 10000);
    }
};

TEST_F(Form1WindowTest, RunAndStopFollowTheSelectedRowsState)
{
    auto *list = child<QListWidget>("lstPrograms");
    auto *run = child<QPushButton>("cmdRun");
    auto *stop = child<QPushButton>("cmdStop");
    enum Action { Select, SelectAndRun, ClickSelectedRow };
    const struct { int row; Action action; bool runEnabled, runShown, stopEnabled, stopShown; } cases[] = {
        {0, Select, true, true, false, true},        // the front-end, not running
        {2, SelectAndRun, false, true, true, true},  // another row, running
        // Run only changes what can be pressed, on the front-end's row too.
        {0, SelectAndRun, false, true, true, true},
        // A click on the selected row refreshes it: a running front-end has neither.
        {0, ClickSelectedRow, false, false, false, false},
    };
    mp.managedPrograms[2].failureCount = 3;
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        if (c.action == ClickSelectedRow)
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(c.row)).center());
        else
            list->setCurrentRow(c.row);
        if (c.action == SelectAndRun)
            run->click();
        EXPECT_EQ(QList<bool>({run->isEnabled(), !run->isHidden(), stop->isEnabled(), !stop->isHidden()}),
                  QList<bool>({c.runEnabled, c.runShown, c.stopEnabled, c.stopShown}));
    }
    list->setCurrentRow(2);
    // Run by hand starts the count of failures again.
    EXPECT_EQ(child<QCheckBox>("chkROF")->text(), QStringLiteral("Restart on Failure:0"));
    stop->click();
    EXPECT_FALSE(mp.managedPrograms[2].process->pReady);
    EXPECT_TRUE(run->isEnabled() && !stop->isEnabled());
}

TEST_F(Form1WindowTest, OutputBoxShowsEachPieceOnce)
{
    mp.managedPrograms[2].arguments = QStringLiteral("300");
    child<QListWidget>("lstPrograms")->setCurrentRow(2);
    child<QPushButton>("cmdRun")->click();
    auto *box = child<QPlainTextEdit>("txtOutput");
    // "running PID" now, "exiting 0" 300 ms later: two pieces.
    ASSERT_TRUE(superviseUntil([&] { return box->toPlainText().startsWith(QStringLiteral("running ")); }));
    ASSERT_TRUE(superviseUntil([&] { return !mp.managedPrograms[2].process->pReady; }));
    EXPECT_EQ(box->toPlainText(), mp.managedPrograms[2].process->outText);
    EXPECT_TRUE(box->toPlainText().endsWith(QStringLiteral("\nexiting 0\n")));
}

// Arrow keys, Home and End choose a program as a click does: the boxes show
// it, and an edit then goes to its row, not to the program shown before.
// Close hides the window and gives its session back; it comes back as it was.
TEST_F(Form1WindowTest, SelectingByKeyboardShowsTheProgramAndEditsGoToItAndCloseHides)
{
    auto *list = child<QListWidget>("lstPrograms");
    auto *name = child<QLineEdit>("txtPName");
    auto *args = child<QLineEdit>("txtArgs");
    auto *ros = child<QCheckBox>("chkROS");
    list->setFocus();
    const struct {
        Qt::Key key; int row;
    } steps[] = {{Qt::Key_Down, 1}, {Qt::Key_Down, 2}, {Qt::Key_Home, 0}, {Qt::Key_End, 2}, {Qt::Key_Up, 1}};
    for (const auto &step : steps) {
        SCOPED_TRACE(step.row);
        QTest::keyClick(list, step.key);
        const kv::ManagedProgram &e = mp.managedPrograms[std::size_t(step.row)];
        EXPECT_EQ(list->currentRow(), step.row);
        EXPECT_EQ((name->text() + '|' + args->text()).toStdString(), (e.name + '|' + e.arguments).toStdString());
        EXPECT_EQ(ros->isChecked(), e.runOnStart);
    }
    ASSERT_TRUE(saved());
    auto expected = form1test::rows();
    name->end(false);
    QTest::keyClick(name, 's');
    EXPECT_EQ(mp.managedPrograms[1].name, QStringLiteral("Readers"));
    ASSERT_TRUE(saved());
    expected[id(1)] = form1test::rowOf(mp.managedPrograms[1]);
    EXPECT_EQ(form1test::rows(), expected);
    EXPECT_EQ(testenv::sessionsSettledAt(1), 1) << "one session kept for the typing";

    QWidget *form = window.widget();
    child<QPushButton>("cmdClose")->click();
    EXPECT_TRUE(form->isHidden());
    ASSERT_TRUE(saved());
    EXPECT_EQ(testenv::sessionsSettledAt(0), 0) << "the hidden window holds a session of the server";
    window.showWindow();
    EXPECT_EQ(window.widget(), form) << "one instance, shown again";
    EXPECT_EQ(name->text(), QStringLiteral("Readers"));
}

// Typing, the retry timer and the refresh after a program's end while the
// server does not answer: the window thread is never held, each edit waits
// for the server and reaches the row, the newest last, and quitting waits
// for the write still out.
TEST_F(Form1WindowTest, AFrozenDatabaseNeverHoldsTheWindowAndEveryEditArrivesInOrder)
{
    auto *list = child<QListWidget>("lstPrograms");
    auto *args = child<QLineEdit>("txtArgs");
    list->setCurrentRow(1);
    ASSERT_TRUE(saved());
    args->end(false);
    const auto rowIsEntry = [&](const char *arguments) {
        EXPECT_EQ(mp.managedPrograms[1].arguments, QString::fromUtf8(arguments));
        EXPECT_EQ(form1test::rows().at(id(1)), form1test::rowOf(mp.managedPrograms[1]));
    };
    {
        // The server wakes while the first keystroke's write waits: that
        // write lands, and the second keystroke's text after it.
        std::deque<testenv::Frozen> frozen = freezeCluster();
        StallProbe probe;
        QTest::keyClick(args, 'a');
        QTest::keyClick(args, 'b');
        QTest::qWait(200);
        EXPECT_LT(probe.longestMs(), 250) << "typing";
        EXPECT_TRUE(window.logic().jobRunning()) << "the write waits for the server";
        frozen.clear();
        ASSERT_TRUE(saved());
    }
    rowIsEntry("out:helloab");
    {
        // The write gives up; the retry timer tries again; the program ends
        // and is refreshed meanwhile.
        std::deque<testenv::Frozen> frozen = freezeCluster();
        StallProbe probe;
        QTest::keyClick(args, 'c');
        ASSERT_TRUE(QTest::qWaitFor([&] { return !window.logic().jobRunning(); }, 15000));
        EXPECT_TRUE(window.logic().hasPending());
        child<QPushButton>("cmdRun")->click();
        ASSERT_TRUE(superviseUntil([&] { return !mp.managedPrograms[1].process->pReady; }));
        clock.advanceMs(kv::Form1::kMaxRetryDelayMs);
        ASSERT_TRUE(QTest::qWaitFor([&] { return window.logic().jobRunning(); }, 3000));
        EXPECT_LT(probe.longestMs(), 250) << "retrying and refreshing";
        frozen.clear();
        ASSERT_TRUE(saved());
    }
    rowIsEntry("out:helloabc");

    std::deque<testenv::Frozen> frozen = freezeCluster();
    QTest::keyClick(args, 'd');
    std::thread thaw([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        frozen.clear();
    });
    EXPECT_EQ(window.saveBeforeQuit(false).toStdString(), "");
    thaw.join();
    rowIsEntry("out:helloabcd");
}

} // namespace
