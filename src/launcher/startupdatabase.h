// Start-up's database: the adapter over the launcher's own ODBC connections
// (schema, station, programs), and the wait for a database that can be used,
// which never runs a look on the window thread.
#pragma once

#include "station/vbConfig.h"
#include "station/odbc.h"
#include "station/vbDatabase.h"
#include "core/appcontext.h"
#include "core/clock.h"
#include "core/eventlog.h"
#include "core/outcome.h"
#include "core/prompter.h"
#include "core/windowsapi.h"
#include "core/worker.h"
#include "programs/vbManagedPrograms.h"

#include <QString>

#include <functional>
#include <mutex>
#include <optional>

namespace kv {

// The database work start-up does over the launcher's own connections.
class StartupDatabase {
public:
    virtual ~StartupDatabase() = default;
    // Opens no window: start-up takes it on the library's worker thread.
    virtual database::SchemaLook lookAtSchema(const LauncherSettings &settings) = 0;
    // Its boxes go through `prompter`.
    virtual Outcome setupStation(LauncherSettings &settings, const QString &confPath, Prompter &prompter) = 0;
    // Database errors propagate as exceptions.
    virtual Outcome loadManagedPrograms(ManagedPrograms &programs, const LauncherSettings &settings) = 0;
    // Start-up is over, however it ended: nothing it kept stays open.
    virtual void endOfStartUp() {}
};

// The real one, over ODBC. A log-in costs a till's start tens of
// milliseconds, so the connection of the look that found the database usable
// serves the station's set-up and the programs' rows right after it; one
// left unused longer than kKeptForMs (a question was asked meanwhile) is
// closed and the step opens its own, as each step did on its own before.
class OdbcStartupDatabase final : public StartupDatabase {
public:
    static constexpr qint64 kKeptForMs = 5000;

    OdbcStartupDatabase(const AppContext &ctx, Clock &clock) : m_ctx(ctx), m_clock(clock) {}
    database::SchemaLook lookAtSchema(const LauncherSettings &settings) override;
    Outcome setupStation(LauncherSettings &settings, const QString &confPath, Prompter &prompter) override;
    Outcome loadManagedPrograms(ManagedPrograms &programs, const LauncherSettings &settings) override;
    void endOfStartUp() override;

private:
    // The kept connection when it is fresh enough; closed otherwise.
    odbc::Connection takeKept();
    void keep(odbc::Connection connection);

    const AppContext &m_ctx;
    Clock &m_clock;
    // The look runs on a worker; an abandoned one may still finish there.
    std::mutex m_mutex;
    odbc::Connection m_kept;
    qint64 m_keptAtMs = 0;
};

// A till often starts before its server: quiet looks at the schema with a
// wait after each failed one, then one look that tells its error. Each look
// may block on the login for seconds, so it runs on `worker` while this
// thread keeps the waiting window painted; a look that answers within
// kQuietLookMs puts no window up. When no thread can be had the look counts
// as failed: it never runs here.
class SchemaWait {
public:
    static constexpr int kQuietSchemaChecks = 5;
    static constexpr int kSchemaRetryWaitMs = 5000;
    static constexpr int kQuietLookMs = 200;
    // Waits are cut into slices this long, so that the waiting window
    // repaints and a request to end is heard in between.
    static constexpr int kWaitSliceMs = 100;

    // `ended` reads true once the launcher was told to end: the wait stops.
    SchemaWait(StartupDatabase &database, Worker &worker, Clock &clock, WaitingWindow *window, Prompter &prompter,
               EventLog &log, std::function<bool()> ended);

    // True when the database can be used; false when it cannot (the last
    // look told the person why) or when the launcher was told to end.
    bool waitForUsableDatabase(const LauncherSettings &settings);

private:
    void showWaiting();
    void waitShowing(int ms);
    database::SchemaLook look(const LauncherSettings &settings);

    StartupDatabase &m_database;
    Worker &m_worker;
    Clock &m_clock;
    WaitingWindow *m_window;
    Prompter &m_prompter;
    EventLog &m_log;
    std::function<bool()> m_ended;
    std::optional<WaitingShown> m_waiting;
};

} // namespace kv
