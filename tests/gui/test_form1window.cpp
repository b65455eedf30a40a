// The program manager window's widgets, offscreen, against the real cluster:
// Run and Stop per row, the output box, typing reaching the row, Close.
#include "programs/gui/Form1Window.h"

#include "form1station.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

namespace {

class Form1WindowTest : public ::testing::Test, protected form1test::Station {
protected:
    kv::Form1Window window{mp, shellConf, prompter, clock};

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

    template <typename Pred>
    bool superviseUntil(Pred done)
    {
        return QTest::qWaitFor([&] {
            mp.superviseManagedPrograms();
            return done();
        }, 10000);
    }
};

TEST_F(Form1WindowTest, RunAndStopFollowTheSelectedRowsState)
{
    auto *list = child<QListWidget>("lstPrograms");
    auto *run = child<QPushButton>("cmdRun");
    auto *stop = child<QPushButton>("cmdStop");
    enum Action { Select, SelectAndRun, ClickSelectedRow };
    const struct {
        int row;
        Action action;
        bool runEnabled, runShown, stopEnabled, stopShown;
    } cases[] = {
        {0, Select, true, true, false, true},        // the front-end, not running
        {2, SelectAndRun, false, true, true, true},  // another row, running
        // Run only changes what can be pressed, on the front-end's row too.
        {0, SelectAndRun, false, true, true, true},
        // A click on the selected row refreshes it: a running front-end has neither.
        {0, ClickSelectedRow, false, false, false, false},
    };
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

TEST_F(Form1WindowTest, TypingReachesTheRowAndCloseHidesAndGivesTheSessionBack)
{
    QWidget *form = window.widget();
    child<QListWidget>("lstPrograms")->setCurrentRow(1);
    auto *args = child<QLineEdit>("txtArgs");
    args->end(false);
    QTest::keyClicks(args, QStringLiteral(" it's"));
    EXPECT_EQ(mp.managedPrograms[1].arguments, QStringLiteral("out:hello it's"));
    EXPECT_EQ(form1test::rows().at(id(1)), form1test::rowOf(mp.managedPrograms[1]));
    EXPECT_EQ(testenv::sessionsSettledAt(1), 1) << "one session kept for the typing";

    child<QPushButton>("cmdClose")->click();
    EXPECT_TRUE(form->isHidden());
    EXPECT_EQ(testenv::sessionsSettledAt(0), 0) << "the hidden window holds a session of the server";
    window.showWindow();
    EXPECT_EQ(window.widget(), form) << "one instance, shown again";
    EXPECT_EQ(args->text(), QStringLiteral("out:hello it's"));
}

} // namespace
