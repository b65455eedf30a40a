// The database watchdog against the real cluster: outages and recoveries as
// the cashier and the debug log see them.
#include "config/vbWatchdog.h"
#include "programs/vbKill.h"

#include "dbtestutil.h"
#include "platform/fakes/process_fake.h"
#include "recordingsinks.h"

#include <gtest/gtest.h>

#include <QLocale>

using kv::Notice;
using kv::Watchdog;
using testsupport::RecordingLog;
using testsupport::RecordingNotices;

namespace {

const QString kLost = QStringLiteral("Database connection to Korvantis server lost.  Please check your network "
                                     "connection");
const QString kRecovered = QStringLiteral("Korvantis database connection recovered.");
const QString kSuccess = QStringLiteral(" Database test success");
const QString kAttempt = QStringLiteral(" Attempting database reconnect");
const QString kFailure = QStringLiteral(" Database test connection failure");

// Qt reads the locale once, at first use: pinned for this process only, as
// psql (a Perl script) complains of a locale the machine lacks.
const bool kLocalePinned = [] {
    ::setenv("LC_TIME", "de_DE.UTF-8", 1);
    const bool german = QLocale::system().dateFormat(QLocale::ShortFormat) == QStringLiteral("dd.MM.yy");
    ::unsetenv("LC_TIME");
    return german;
}();

// The fake clock's time as that locale writes it.
const QDateTime kAt(QDate(2026, 7, 23), QTime(21, 47, 35));
const QString kTime = QStringLiteral("21:47:35");
const QString kCaption = QStringLiteral("Korvantis network activity as of 21:47:35 23.07.26");

Notice notice(const QString &text, int count)
{
    return {kCaption, text, QStringLiteral("This has happened %1 time(s) since last restart").arg(count)};
}

class WatchdogTest : public ::testing::Test {
protected:
    WatchdogTest() : m_killer(m_table), m_clock(kAt), m_watchdog(m_notices, m_log, m_events, m_killer, m_clock, m_worker)
    {
        EXPECT_TRUE(kLocalePinned);
        // Start-up believes the connection up once its schema check passed.
        m_watchdog.setDbConnectionUp(true);
    }

    // One call; checks its result, the lines it logged (oldest first) and
    // the notices it showed.
    void check(const char *what, qint32 result, const QStringList &lines, const std::vector<Notice> &notices)
    {
        SCOPED_TRACE(what);
        const qsizetype linesBefore = m_log.lines.size();
        const std::size_t noticesBefore = m_notices.shown.size();
        EXPECT_TRUE(m_watchdog.testDatabaseConnection(m_settings));
        EXPECT_TRUE(m_worker.waitIdle(20'000));
        EXPECT_EQ(m_watchdog.applyDatabaseTest(), result);
        EXPECT_EQ(m_watchdog.applyDatabaseTest(), -1) << "applied once";
        QStringList logged = m_log.lines.mid(0, m_log.lines.size() - linesBefore);
        std::reverse(logged.begin(), logged.end());
        QStringList expected;
        for (const QString &message : lines)
            expected.append(kTime + message);
        EXPECT_EQ(logged, expected);
        EXPECT_EQ(std::vector<Notice>(m_notices.shown.begin() + qsizetype(noticesBefore), m_notices.shown.end()),
                  notices);
    }

    // A program in the process table; the real image match decides what ends.
    int startProgram(const char *name)
    {
        m_table.add({++m_lastPid, std::string("/opt/pos/") + name, {}});
        return m_lastPid;
    }

    kv::LauncherSettings m_settings = dbtest::clusterSettings();
    kv::platform::FakeProcessTable m_table;
    int m_lastPid = 200;
    kv::vbKill::TableImageKiller m_killer;
    kv::FakeClock m_clock;
    // A thread of its own, as in the launcher: the clock is only read on the
    // test's thread.
    kv::ThreadWorker m_worker;
    RecordingNotices m_notices;
    RecordingLog m_log;
    testsupport::RecordingEventLog m_events;
    Watchdog m_watchdog;
};

TEST_F(WatchdogTest, OutagesAreCountedNoticedOnceAndEndedByAReconnect)
{
    const int note1 = startProgram("blipnote"), note2 = startProgram("blipnote"), other = startProgram("tallyward");
    check("first call after start", 0, {kAttempt}, {});
    EXPECT_FALSE(m_table.running(note1) || m_table.running(note2));
    EXPECT_TRUE(m_table.running(other)) << "only blipnote is ended";
    check("connection up", 0, {kSuccess}, {});

    for (int outage = 1; outage <= 2; ++outage) {
        SCOPED_TRACE(outage);
        {
            dbtest::ClusterStopped down;
            check("outage begins", 1, {kFailure}, {notice(kLost, outage)});
            EXPECT_EQ(m_watchdog.outageCount, outage);
            check("still down", 1, {kAttempt, kFailure}, {});
        }
        const int note = startProgram("blipnote");
        check("back", 0, {kAttempt}, {notice(kRecovered, outage)});
        EXPECT_FALSE(m_table.running(note)) << "a reconnect ends blipnote again";
        check("up again", 0, {kSuccess}, {});
    }
    EXPECT_EQ(m_watchdog.outageCount, 2);
    EXPECT_TRUE(m_watchdog.dbConnectionUp);
    EXPECT_EQ(dbtest::sessionsSettledAt(1), 1) << "a reconnect gives the old connection back";
}

} // namespace
