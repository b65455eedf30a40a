#include "launcher/startupdatabase.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace kv {

database::SchemaLook OdbcStartupDatabase::lookAtSchema(const LauncherSettings &settings)
{
    odbc::Connection found;
    database::SchemaLook look = database::lookAtSchema(settings, &found);
    if (found.isOpen())
        keep(std::move(found));
    return look;
}

Outcome OdbcStartupDatabase::setupStation(LauncherSettings &settings, const QString &confPath, Prompter &prompter)
{
    odbc::Connection connection = takeKept();
    const Outcome outcome = database::setupStation(settings, confPath, m_ctx, prompter, &connection);
    if (outcome == Outcome::Continue && connection.isOpen())
        keep(std::move(connection));
    return outcome;
}

Outcome OdbcStartupDatabase::loadManagedPrograms(ManagedPrograms &programs, const LauncherSettings &settings)
{
    odbc::Connection connection = takeKept();
    return programs.loadManagedPrograms(settings, &connection);
}

void OdbcStartupDatabase::endOfStartUp()
{
    takeKept().close();
}

odbc::Connection OdbcStartupDatabase::takeKept()
{
    odbc::Connection kept;
    qint64 keptAt = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        kept = std::move(m_kept);
        keptAt = m_keptAtMs;
    }
    if (kept.isOpen() && m_clock.monotonicMs() - keptAt > kKeptForMs)
        kept.close();
    return kept;
}

void OdbcStartupDatabase::keep(odbc::Connection connection)
{
    odbc::Connection old;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        old = std::exchange(m_kept, std::move(connection));
        m_keptAtMs = m_clock.monotonicMs();
    }
}

SchemaWait::SchemaWait(StartupDatabase &database, Worker &worker, Clock &clock, WaitingWindow *window,
                       Prompter &prompter, EventLog &log, std::function<bool()> ended)
    : m_database(database), m_worker(worker), m_clock(clock), m_window(window), m_prompter(prompter), m_log(log),
      m_ended(std::move(ended))
{
}

void SchemaWait::showWaiting()
{
    if (!m_waiting)
        m_waiting.emplace(m_window, QStringLiteral("Connecting to the database…"));
}

void SchemaWait::waitShowing(int ms)
{
    showWaiting();
    for (int left = ms; left > 0 && !m_ended(); left -= kWaitSliceMs) {
        m_clock.sleepMs(std::min(left, kWaitSliceMs));
        if (m_window)
            m_window->keepShown();
    }
}

database::SchemaLook SchemaWait::look(const LauncherSettings &settings)
{
    // On the library's worker, idle until the main loop runs: the window
    // keeps painting while a login hangs. The job owns its copy of the
    // settings; should the launcher end meanwhile, it leaves by _exit.
    const auto found = std::make_shared<database::SchemaLook>();
    StartupDatabase &db = m_database;
    if (!m_worker.start([found, &db, settings] { *found = db.lookAtSchema(settings); })) {
        // A login that hangs here would freeze the window for its timeout.
        return database::SchemaLook{.error = -1,
                                    .description = QStringLiteral("the launcher could not start the look at the "
                                                                  "database"),
                                    .version = 0};
    }
    if (!m_worker.waitIdle(kQuietLookMs))
        showWaiting();
    while (!m_worker.waitIdle(kWaitSliceMs) && !m_ended()) {
        if (m_window)
            m_window->keepShown();
    }
    // Ended while the look runs: what it finds no longer matters, even when
    // it answered meanwhile (a database too old is told even by a quiet look).
    if (m_ended() || m_worker.busy())
        return database::SchemaLook{.error = -1, .description = {}, .version = 0};
    return *found;
}

bool SchemaWait::waitForUsableDatabase(const LauncherSettings &settings)
{
    for (int attempt = 0; attempt < kQuietSchemaChecks && !m_ended(); ++attempt) {
        if (database::tellSchemaLook(look(settings), false, m_prompter, m_log) == 0)
            return true;
        waitShowing(kSchemaRetryWaitMs);
    }
    if (m_ended())
        return false;
    const database::SchemaLook last = look(settings);
    // Told to end during the look: no box about a look cut short. The box
    // about a database that cannot be used waits for its OK: start-up stops
    // there for the settings dialog, and nothing of the till runs yet.
    return !m_ended() && database::tellSchemaLook(last, true, m_prompter, m_log) == 0;
}

} // namespace kv
