// Notice windows count down on their own and close themselves; the debug log
// keeps the newest line first and stays bounded.
#include "core/gui/debugForm.h"
#include "core/gui/frmNotice.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>

namespace {

QApplication &app() { return testsupport::qtApp<QApplication>(); }

const kv::Notice kNotice{QStringLiteral("Korvantis network activity as of 21:47:35 23.07.26"),
                         QStringLiteral("Database connection to Korvantis server lost.  Please check your network "
                                        "connection"),
                         QStringLiteral("This has happened 1 time(s) since last restart")};

// The notice windows open now.
QList<kv::frmNotice *> openNotices()
{
    QList<kv::frmNotice *> found;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *n = qobject_cast<kv::frmNotice *>(w); n && n->isVisible())
            found.append(n);
    }
    return found;
}

QString label(QWidget *w, const char *name)
{
    auto *l = w->findChild<QLabel *>(QString::fromLatin1(name));
    return l ? l->text() : QStringLiteral("<no label %1>").arg(QLatin1String(name));
}

// Runs deferred deletions: a closed notice is gone after this.
void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

kv::frmNotice *showOne(const kv::Notice &n = kNotice)
{
    const auto before = openNotices();
    kv::QtNoticeSink().showNotice(n);
    kv::frmNotice *made = nullptr;
    for (kv::frmNotice *w : openNotices()) {
        if (!before.contains(w)) {
            if (made)
                return nullptr; // more than one window for one notice
            made = w;
        }
    }
    return made;
}

class NoticeWindows : public ::testing::Test {
protected:
    void SetUp() override { app(); }
    void TearDown() override
    {
        for (kv::frmNotice *n : openNotices())
            n->close();
        settle();
    }
};

TEST_F(NoticeWindows, ShowsItsTextsModelessAndCountsDownTwoHours)
{
    QPointer<kv::frmNotice> w = showOne();
    ASSERT_TRUE(w);
    EXPECT_EQ(w->windowTitle(), kNotice.caption);
    EXPECT_EQ(label(w, "noticeText"), kNotice.noticeText);
    EXPECT_EQ(label(w, "notice2"), kNotice.notice2);
    EXPECT_EQ(label(w, "countdownLabel"), "") << "empty during the first second";
    EXPECT_FALSE(w->isModal());
    EXPECT_TRUE(w->Timer1().isActive());
    EXPECT_EQ(w->Timer1().interval(), 1000);

    struct Step {
        int tick;
        const char *shown;
    };
    const Step steps[] = {
        {1, "119"}, {60, "119"}, {61, "118"}, {7140, "1"}, {7141, "0"}, {7199, "0"},
    };
    int ticked = 0;
    for (const Step &s : steps) {
        while (ticked < s.tick) {
            w->Timer1_Timer();
            ++ticked;
        }
        settle();
        ASSERT_TRUE(w) << "closed early, at tick " << ticked;
        EXPECT_EQ(label(w, "countdownLabel"),
                  QStringLiteral("Automatically closing this window in %1 minutes").arg(QLatin1String(s.shown)))
            << "tick " << s.tick;
    }
    w->Timer1_Timer();
    settle();
    EXPECT_FALSE(w) << "still there after 7200 ticks";
}

TEST_F(NoticeWindows, OKClosesAtOnceAndEachCountsDownOnItsOwn)
{
    QPointer<kv::frmNotice> first = showOne();
    for (int i = 0; i < 5; ++i)
        first->Timer1_Timer();
    QPointer<kv::frmNotice> second = showOne();
    ASSERT_TRUE(first && second);
    second->Timer1_Timer();
    EXPECT_EQ(first->secondsLeft(), 7195);
    EXPECT_EQ(second->secondsLeft(), 7199);

    first->findChild<QPushButton *>(QStringLiteral("Command1"))->click();
    settle();
    EXPECT_FALSE(first);
    ASSERT_TRUE(second) << "OK of one notice closed another";
    EXPECT_TRUE(second->isVisible());
    EXPECT_FALSE(app().closingDown());
}

TEST(DebugLog, NewestLineFirstAndBounded)
{
    app();
    kv::DebugLog log;
    for (int i = 1; i <= kv::DebugLog::kMaxLines + 5; ++i)
        log.logLine(QStringLiteral("line %1").arg(i));
    EXPECT_FALSE(log.form()->isVisible());
    const QStringList lines = log.form()->debugText()->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), kv::DebugLog::kMaxLines);
    EXPECT_EQ(lines.first(), QStringLiteral("line %1").arg(kv::DebugLog::kMaxLines + 5));
    EXPECT_EQ(lines.last(), QStringLiteral("line 6"));
}

} // namespace
