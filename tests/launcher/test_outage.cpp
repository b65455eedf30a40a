// The running launcher while its database server is frozen: the window
// thread keeps its one tick a second, the cashier hears of the outage, and
// quitting does not wait for a check that waits on the server.
#include "launcherfakes.h"

#include "config/vbWatchdog.h"
#include "dbtestutil.h"
#include "recordingsinks.h"

#include "qtapp.h"
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

using namespace launcherfakes;

namespace {

struct OutageRig : LauncherRig {
    testsupport::RecordingNotices notices;
    testsupport::RecordingLog log;
    kv::ThreadWorker watchdogWorker;
    std::unique_ptr<kv::Watchdog> realWatchdog =
        std::make_unique<kv::Watchdog>(notices, log, events, killer, clock, watchdogWorker);
    std::unique_ptr<kv::Launcher> launcher;
    // Ticks seen, and the longest time the event loop was held.
    int ticks = 0;
    qint64 longestStallMs = 0;

    OutageRig()
    {
        const auto db = testsupport::clusterSettings();
        dir.write(QStringLiteral("shell.conf"),
                  QStringLiteral("db_host = %1\r\ndb_name = %2\r\ndb_username = %3\r\ndb_password = %4\r\n"
                                 "esc_printer = none\r\n")
                      .arg(db.db_host, db.db_name, db.db_username, db.db_password)
                      .toUtf8());
        launcher = std::make_unique<kv::Launcher>(kv::LauncherParts{
            ctx, prompter, clock, database, *realWatchdog, update, killer, draldb, spooler, processes, spawner,
            libraryWorker, events, false});
    }

    // Runs the event loop until `done` or the bound, counting ticks and
    // measuring stalls with a timer of the window thread.
    bool runUntil(const std::function<bool()> &done, int boundMs)
    {
        QTimer probe;
        QElapsedTimer sinceLast, total;
        int lastPass = launcher->passCounter;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            longestStallMs = std::max(longestStallMs, sinceLast.restart());
            if (launcher->passCounter != lastPass) {
                lastPass = launcher->passCounter;
                ++ticks;
            }
        });
        sinceLast.start();
        total.start();
        probe.start(20);
        while (!done() && total.elapsed() < boundMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        return done();
    }
};

TEST(LauncherOutage, FrozenServerHoldsNoTickAndTheCashierHearsOfItAndQuitDoesNotWait)
{
    testsupport::qtApp<QCoreApplication>();
    OutageRig rig;
    kv::Launcher &l = *rig.launcher;
    ASSERT_EQ(l.Main(), kv::Outcome::Continue);
    ASSERT_TRUE(rig.runUntil([&] { return rig.ticks >= 2; }, 10'000));
    ASSERT_EQ(rig.realWatchdog->dbConnectionUp, true);

    const int backend = std::stoi(testenv::psql(
        "SELECT pid FROM pg_stat_activity WHERE datname = current_database() AND usename = current_user "
        "AND pid <> pg_backend_pid()"));
    {
        dbtest::StoppedProcess postmaster(testenv::postmasterPid());
        dbtest::StoppedProcess session(backend);
        // The next tick is an eleventh one: its test query finds no answer.
        l.tickCount = kv::Launcher::kTicksPerPeriodicCheck;
        rig.ticks = 0;
        EXPECT_TRUE(rig.runUntil([&] { return !rig.notices.shown.empty(); }, 10'000));
        ASSERT_EQ(rig.notices.shown.size(), 1u);
        EXPECT_EQ(rig.notices.shown[0].noticeText,
                  QStringLiteral("Database connection to Korvantis server lost.  Please check your network "
                                 "connection"));
        EXPECT_LE(rig.ticks, 3) << "told within the check's own time";

        // A reconnect waits the login timeout on the frozen server; ticks go
        // on meanwhile.
        l.tickCount = kv::Launcher::kTicksPerPeriodicCheck;
        rig.ticks = 0;
        rig.runUntil([&] { return rig.ticks >= 4; }, 4'500);
        EXPECT_GE(rig.ticks, 4);
        EXPECT_TRUE(rig.watchdogWorker.busy()) << "the reconnect was expected to be still waiting";
        EXPECT_LT(rig.longestStallMs, 1000);

        l.mnuExitClick();
        EXPECT_TRUE(rig.runUntil([&] { return l.ended(); }, 3'000));
        EXPECT_TRUE(rig.watchdogWorker.busy()) << "quitting waited for the check";
        rig.launcher.reset();
        rig.realWatchdog.reset();
    }
    EXPECT_TRUE(rig.watchdogWorker.waitIdle(20'000));
}

} // namespace
