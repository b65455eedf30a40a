// The program manager window's widgets, offscreen: names, captions and
// places, the buttons for the front-end row and another row, running and
// not, and the keyboard reaching the database through the window.
#include "programs/gui/Form1Window.h"

#include "form1station.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

namespace {

QApplication &app()
{
    static int argc = 1;
    static char name[] = "test_form1window";
    static char *argv[] = {name, nullptr};
    // Never destroyed: at exit the test input devices QTest made would be
    // torn down after the parts of Qt they need.
    static QApplication *a = new QApplication(argc, argv);
    return *a;
}

class Form1WindowTest : public ::testing::Test, protected form1test::Station {
protected:
    kv::Form1Window window{mp, shellConf, prompter, clock};

    void SetUp() override
    {
        app();
        standardStation();
        mp.managedPrograms[2].arguments = QStringLiteral("60000");
        mp.setObserver(&window.observer());
    }

    template <typename T>
    T *child(const char *name)
    {
        T *w = window.widget()->findChild<T *>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
};

TEST_F(Form1WindowTest, ControlsCarryTheirNamesCaptionsAndPlaces)
{
    EXPECT_EQ(window.widget(), nullptr) << "created on first use";
    window.showWindow();
    QWidget *form = window.widget();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(form->objectName(), QStringLiteral("Form1"));
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Korvantis Launcher"));

    struct Control {
        const char *name;
        const char *className;
        QString caption;
    };
    // Top to bottom down the left column.
    const Control column[] = {
        {"cmdAdd", "QPushButton", QStringLiteral("Add")},
        {"lstPrograms", "QListWidget", QString()},
        {"cmdRun", "QPushButton", QStringLiteral("Run")},
        {"Label1", "QLabel", QStringLiteral("Title")},
        {"txtPName", "QLineEdit", QStringLiteral("Till")},
        {"Label2", "QLabel", QStringLiteral("File Name")},
        {"txtPPath", "QLineEdit", QStringLiteral("kv_child_exit_after")},
        {"Label4", "QLabel", QStringLiteral("Arguments")},
        {"txtArgs", "QLineEdit", QStringLiteral("60000")},
        {"chkROS", "QCheckBox", QStringLiteral("Run on Startup")},
        {"chkROF", "QCheckBox", QStringLiteral("Restart on Failure:0")},
        {"cmdClose", "QPushButton", QStringLiteral("Close")},
    };
    int lastY = -1;
    for (const Control &c : column) {
        SCOPED_TRACE(c.name);
        QWidget *w = form->findChild<QWidget *>(QLatin1String(c.name));
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), c.className);
        if (!c.caption.isNull()) {
            EXPECT_EQ(w->property("text").toString(), c.caption);
        }
        EXPECT_GT(w->y(), lastY);
        lastY = w->y();
        EXPECT_EQ(w->x(), 8);
        EXPECT_FALSE(w->isHidden());
    }
    auto *stop = child<QPushButton>("cmdStop");
    EXPECT_EQ(stop->text(), QStringLiteral("Stop"));
    EXPECT_EQ(stop->y(), child<QPushButton>("cmdRun")->y());
    EXPECT_GT(stop->x(), child<QPushButton>("cmdRun")->geometry().right());

    auto *output = child<QPlainTextEdit>("txtOutput");
    EXPECT_GT(output->x(), child<QListWidget>("lstPrograms")->geometry().right());
    auto *working = child<QLineEdit>("txtWorking");
    EXPECT_EQ(working->text(), mp.managedPrograms[0].path);
    EXPECT_GE(working->y(), form->height()) << "below what the window shows";
    EXPECT_EQ(child<QListWidget>("lstPrograms")->count(), 3);
}

TEST_F(Form1WindowTest, RunAndStopFollowTheSelectedRowsState)
{
    window.showWindow();
    auto *list = child<QListWidget>("lstPrograms");
    auto *run = child<QPushButton>("cmdRun");
    auto *stop = child<QPushButton>("cmdStop");

    struct Case {
        const char *what;
        int row;
        bool start;
        bool runEnabled, runShown, stopEnabled, stopShown;
    };
    const Case cases[] = {
        {"front-end, not running", 0, false, true, true, false, true},
        {"other row, not running", 2, false, true, true, false, true},
        {"other row, running", 2, true, false, true, true, true},
        {"front-end, running", 0, true, false, false, false, false},
        {"other row again, still running", 2, false, false, true, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        list->setCurrentRow(c.row);
        EXPECT_EQ(child<QLineEdit>("txtPName")->text(), mp.managedPrograms[std::size_t(c.row)].name);
        if (c.start)
            QTest::mouseClick(run, Qt::LeftButton);
        EXPECT_EQ(run->isEnabled(), c.runEnabled);
        EXPECT_EQ(!run->isHidden(), c.runShown);
        EXPECT_EQ(stop->isEnabled(), c.stopEnabled);
        EXPECT_EQ(!stop->isHidden(), c.stopShown);
    }

    QTest::mouseClick(stop, Qt::LeftButton);
    EXPECT_FALSE(mp.managedPrograms[2].process->pReady);
    EXPECT_TRUE(run->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
}

TEST_F(Form1WindowTest, TypingReachesTheRowAndCloseOnlyHides)
{
    window.showWindow();
    QWidget *form = window.widget();
    child<QListWidget>("lstPrograms")->setCurrentRow(1);
    auto *args = child<QLineEdit>("txtArgs");
    args->setFocus();
    args->end(false);
    QTest::keyClicks(args, QStringLiteral(" it's"));

    EXPECT_EQ(mp.managedPrograms[1].arguments, QStringLiteral("out:hello it's"));
    EXPECT_EQ(form1test::rows().at(id(1)).arguments, QStringLiteral("out:hello it's"));

    QTest::mouseClick(child<QPushButton>("cmdClose"), Qt::LeftButton);
    EXPECT_TRUE(form->isHidden());
    window.showWindow();
    EXPECT_EQ(window.widget(), form) << "one instance, shown again";
    EXPECT_FALSE(form->isHidden());
    EXPECT_EQ(args->text(), QStringLiteral("out:hello it's"));
    EXPECT_EQ(child<QListWidget>("lstPrograms")->currentRow(), 1);
}

} // namespace
