// Shows the notice the watchdog opens when the database goes away, through
// the launcher's own watchdog and windows: the watchdog believes the
// connection up and then cannot reach the server named on the command line
// (a port nothing listens on). Runs until killed, or for the given seconds.
//
//   kv_show_outage_notice HOST DATABASE [SECONDS]
#include "config/vbWatchdog.h"
#include "core/gui/debugForm.h"
#include "core/gui/frmNotice.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

namespace {

// A photograph must not end anybody's programs.
class NoKiller final : public kv::ImageKiller {
public:
    int killImage(const QString &) override { return 0; }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HOST DATABASE [SECONDS]\n", argv[0]);
        return 2;
    }
    kv::LauncherSettings settings;
    settings.db_host = QString::fromLocal8Bit(argv[1]);
    settings.db_name = QString::fromLocal8Bit(argv[2]);
    settings.db_username = QStringLiteral("kvtill");
    settings.db_password = QStringLiteral("x");

    kv::QtNoticeSink notices;
    kv::DebugLog log;
    NoKiller killer;
    kv::SystemClock clock;
    kv::InlineWorker worker;
    kv::StreamEventLog events(stderr, clock, false);
    kv::Watchdog watchdog(notices, log, events, killer, clock, worker);
    watchdog.setDbConnectionUp(true);
    watchdog.testDatabaseConnection(settings);
    const qint32 result = watchdog.applyDatabaseTest();
    std::printf("watchdog returned %d, outages %d\n", int(result), int(watchdog.outageCount));
    std::fflush(stdout);
    if (argc > 3)
        QTimer::singleShot(QString::fromLocal8Bit(argv[3]).toInt() * 1000, &app, &QApplication::quit);
    return app.exec();
}
