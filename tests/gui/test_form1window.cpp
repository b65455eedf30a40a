// The program manager window's widgets, offscreen: names, captions, places,
// Run and Stop per row, and the keyboard reaching the row.
#include "programs/gui/Form1Window.h"

#include "form1station.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
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
        EXPECT_EQ(window.widget(), nullptr) << "created on first use";
        window.showWindow();
    }

    template <typename T = QWidget>
    T *child(const char *name)
    {
        T *w = window.widget()->findChild<T *>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
};

TEST_F(Form1WindowTest, ControlsCarryTheirNamesCaptionsAndPlaces)
{
    EXPECT_EQ(window.widget()->objectName(), QStringLiteral("Form1"));
    EXPECT_EQ(window.widget()->windowTitle(), QStringLiteral("Korvantis Launcher"));
    // Top to bottom down the left column; the boxes show row 0.
    const std::pair<const char *, QString> column[] = {
        {"cmdAdd", QStringLiteral("Add")},
        {"lstPrograms", QString()},
        {"cmdRun", QStringLiteral("Run")},
        {"Label1", QStringLiteral("Title")},
        {"txtPName", QStringLiteral("Till")},
        {"Label2", QStringLiteral("File Name")},
        {"txtPPath", QStringLiteral("kv_child_exit_after")},
        {"Label4", QStringLiteral("Arguments")},
        {"txtArgs", QStringLiteral("60000")},
        {"chkROS", QStringLiteral("Run on Startup")},
        {"chkROF", QStringLiteral("Restart on Failure:0")},
        {"cmdClose", QStringLiteral("Close")},
    };
    int lastY = -1;
    for (const auto &[name, caption] : column) {
        SCOPED_TRACE(name);
        QWidget *w = child(name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->property("text").toString(), caption);
        EXPECT_GT(w->y(), lastY);
        lastY = w->y();
        EXPECT_EQ(w->x(), 8);
    }
    EXPECT_EQ(child<QPushButton>("cmdStop")->text(), QStringLiteral("Stop"));
    EXPECT_GT(child("cmdStop")->x(), child("cmdRun")->geometry().right());
    EXPECT_GT(child("txtOutput")->x(), child("lstPrograms")->geometry().right());
    EXPECT_EQ(child<QLineEdit>("txtWorking")->text(), mp.managedPrograms[0].path);
    EXPECT_GE(child("txtWorking")->y(), window.widget()->height()) << "below what the window shows";
}

TEST_F(Form1WindowTest, RunAndStopFollowTheSelectedRowsState)
{
    auto *list = child<QListWidget>("lstPrograms");
    auto *run = child<QPushButton>("cmdRun");
    auto *stop = child<QPushButton>("cmdStop");
    enum Action { Select, SelectAndRun, ClickSelectedRow };
    struct Case {
        const char *what;
        int row;
        Action action;
        bool runEnabled, runShown, stopEnabled, stopShown;
    };
    const Case cases[] = {
        {"front-end, not running", 0, Select, true, true, false, true},
        {"other row, running", 2, SelectAndRun, false, true, true, true},
        // Run only changes what can be pressed, on the front-end's row too.
        {"front-end, run", 0, SelectAndRun, false, true, true, true},
        // A click on the selected row refreshes it.
        {"front-end, running", 0, ClickSelectedRow, false, false, false, false},
        {"other row again", 2, Select, false, true, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.action == ClickSelectedRow) {
            ASSERT_EQ(list->currentRow(), c.row);
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(c.row)).center());
        } else {
            list->setCurrentRow(c.row);
        }
        if (c.action == SelectAndRun)
            run->click();
        EXPECT_EQ(run->isEnabled(), c.runEnabled);
        EXPECT_EQ(!run->isHidden(), c.runShown);
        EXPECT_EQ(stop->isEnabled(), c.stopEnabled);
        EXPECT_EQ(!stop->isHidden(), c.stopShown);
    }
    stop->click();
    EXPECT_FALSE(mp.managedPrograms[2].process->pReady);
    EXPECT_TRUE(run->isEnabled() && !stop->isEnabled());
}

TEST_F(Form1WindowTest, TypingReachesTheRowAndCloseOnlyHides)
{
    QWidget *form = window.widget();
    child<QListWidget>("lstPrograms")->setCurrentRow(1);
    auto *args = child<QLineEdit>("txtArgs");
    EXPECT_EQ(child<QLineEdit>("txtPName")->text(), QStringLiteral("Reader"));
    args->setFocus();
    args->end(false);
    QTest::keyClicks(args, QStringLiteral(" it's"));
    EXPECT_EQ(mp.managedPrograms[1].arguments, QStringLiteral("out:hello it's"));

    child<QPushButton>("cmdClose")->click();
    EXPECT_TRUE(form->isHidden());
    window.showWindow();
    EXPECT_EQ(window.widget(), form) << "one instance, shown again";
    EXPECT_FALSE(form->isHidden());
    EXPECT_EQ(args->text(), QStringLiteral("out:hello it's"));
}

} // namespace
