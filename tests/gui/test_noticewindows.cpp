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

namespace {

// Runs deferred deletions: a closed notice is gone after this.
void settle()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

QList<kv::frmNotice *> openNotices()
{
    QList<kv::frmNotice *> found;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *n = qobject_cast<kv::frmNotice *>(w); n && n->isVisible())
            found.append(n);
    return found;
}

// Each notice is a modeless window of its own, counting down two hours; OK
// closes only its own.
TEST(NoticeWindows, EachCountsDownTwoHoursOnItsOwnThenCloses)
{
    testsupport::qtApp<QApplication>();
    kv::QtNoticeSink().showNotice({QStringLiteral("Korvantis network activity"), QStringLiteral("lost"), QString()});
    kv::QtNoticeSink().showNotice({QStringLiteral("Korvantis network activity"), QStringLiteral("back"), QString()});
    const auto shown = openNotices();
    ASSERT_EQ(shown.size(), 2);
    QPointer<kv::frmNotice> w = shown[0], other = shown[1];
    EXPECT_FALSE(w->isModal());
    EXPECT_EQ(w->windowTitle(), "Korvantis network activity");
    const auto label = [&](const char *name) { return w->findChild<QLabel *>(QString::fromLatin1(name))->text(); };
    EXPECT_EQ(label("countdownLabel"), "") << "empty during the first second";
    const struct {
        int tick;
        const char *shown;
    } steps[] = {{1, "119"}, {60, "119"}, {61, "118"}, {7199, "0"}};
    for (int ticked = 0; const auto &s : steps) {
        for (; ticked < s.tick; ++ticked)
            w->Timer1_Timer();
        settle();
        ASSERT_TRUE(w) << "closed early, at tick " << ticked;
        EXPECT_EQ(label("countdownLabel"), QStringLiteral("Automatically closing this window in %1 minutes").arg(s.shown));
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

TEST(DebugLog, NewestLineFirstAndBounded)
{
    testsupport::qtApp<QApplication>();
    kv::DebugLog log;
    for (int i = 1; i <= kv::DebugLog::kMaxLines + 5; ++i)
        log.logLine(QStringLiteral("line %1").arg(i));
    const QStringList lines = log.form()->debugText()->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), kv::DebugLog::kMaxLines);
    EXPECT_EQ(lines.first(), QStringLiteral("line %1").arg(kv::DebugLog::kMaxLines + 5));
    EXPECT_EQ(lines.last(), QStringLiteral("line 6"));
}

} // namespace
