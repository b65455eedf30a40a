// The till's health in the site database, for the office to see the whole
// fleet (korvantis-fleet): one row of launcherstatus per station, written by
// this launcher alone. The tick tells it when the eleven-second check is due
// and, after every supervision pass, how the programs stand; the row is
// written with every second check (the heartbeat, 22 s), and at once when a
// program's state or the printer's reasons change. On a clean way out the
// row says why the launcher stopped ('exit', 'update'); every other write
// says it runs.
//
// Nothing here waits on the window thread, and the till opens no connection
// for it: the write follows the watchdog's looks on its worker and kept
// connection, after the look has settled its verdict (never holding it
// back) and with its own deadline, so a slow write is late, never an
// outage. The printer's reasons are asked of the print server on a worker of
// this class's own. While the database is away no look finds the connection
// working, nothing is written, and the row's heartbeat (the server's clock)
// stays behind: that is the outage as the office sees it.
#pragma once

#include "station/odbc.h"
#include "station/vbConfig.h"
#include "config/vbWatchdogApi.h"
#include "core/clock.h"
#include "core/eventlog.h"
#include "core/worker.h"
#include "platform/spooler.h"
#include "programs/vbManagedPrograms.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace kv {

// What the watchdog found at its last check.
struct DatabaseHealth {
    bool up = false;
    int outages = 0;
};

class StationStatus {
public:
    // The printer is asked for its reasons this often (once in each cycle of
    // the checks), and a look that finds a change wakes the loop: a printer
    // that runs out of paper is in the office's view within 12 seconds
    // (the office's promise is 15), and an idle till asks its print server
    // seldom. A pass that comes anyway takes the look up to
    // kPrinterLookEarlyMs early, so that the loop seldom wakes for it alone.
    static constexpr qint64 kPrinterLookIntervalMs = 11000;
    static constexpr qint64 kPrinterLookEarlyMs = 3000;
    // After a write the server refused for good (no such table or column, no
    // right to it: the site's database.sql is older than the launcher), the
    // next try waits this long, so that the server's log is not flooded.
    static constexpr qint64 kRefusedRetryMs = 5 * 60 * 1000;
    // The heartbeat goes with every this many checks: half the writes of an
    // idle fleet, and the office's "down" bound allows for it.
    static constexpr int kChecksPerHeartbeat = 2;
    // A write may take this long: a server that answers slowly (a commit
    // waiting on a slow disk, a busy link) still gets the row, late. One
    // that does not answer in time is written again after the next good
    // look. The watchdog's looks wait for it meanwhile, so it is kept short
    // of what would hold an outage notice back long.
    static constexpr int kWriteDeadlineMs = 8000;
    static_assert(kWriteDeadlineMs <= ConnectionRider::kServerTimeoutMs,
                  "the server would cancel a write its deadline allows");
    // The last write on the way out, waiting for the write before it
    // included: the launcher does not hang on a server that is away.
    static constexpr int kStopBoundMs = 1500;
    static constexpr int kStopDeadlineMs = 1000;
    static constexpr int kStopStepMs = 10;

    // `printerWorker` and `spooler` ask the print server and nothing else;
    // `watchdog` is asked for a look when a change is to be written at once;
    // `health` is asked on the window thread. `startedAt`: when the launcher
    // started (the till's clock).
    StationStatus(QString hostName, QString version, QDateTime startedAt, const Clock &clock,
                  DatabaseWatchdog &watchdog, Worker &printerWorker, platform::Spooler &spooler, EventLog &log,
                  std::function<DatabaseHealth()> health);
    ~StationStatus();
    StationStatus(const StationStatus &) = delete;
    StationStatus &operator=(const StationStatus &) = delete;

    // What the watchdog runs after each look that found its connection
    // working, on its worker: the write, when one is due. Never throws.
    ConnectionRider rider() const;

    // The tick's eleven-second check, called just before the watchdog's:
    // every second one carries the heartbeat.
    void checkDue();
    // After each supervision pass: takes what the printer look found, notes
    // how each program stands, readies the statement, and asks the watchdog
    // for a look at once when something changed. `printing`: receipt
    // printing is on; settings.esc_printer names the printer. The statement
    // is made afresh only when something changed or `checkComesNext` (the
    // next tick's check carries it): an idle till's tick makes none.
    void afterSupervision(const LauncherSettings &settings, const std::vector<ManagedProgram> &programs,
                          bool printing, bool checkComesNext);

    // For the loop's sleep: when the next look at the printer is due. A look
    // that finds the printer as it was wakes nothing (the next pass takes
    // it); one that finds a change calls `changed` on the window thread, and
    // then printerChangeWaiting() says the next pass should come now.
    qint64 printerLookDueMs() const { return m_printerLookAtMs; }
    void setPrinterChanged(std::function<void()> changed) { m_printerChanged = std::move(changed); }
    bool printerChangeWaiting() const;

    // The row's last write, on the way out (after the programs were
    // stopped): `reason` is 'exit' or 'update'. Returns at once; `then` runs
    // when the write is done, after any write still out, or within
    // kStopBoundMs (at once when there is nothing to write). Nothing is
    // written after it.
    void writeStopped(const LauncherSettings &settings, const std::vector<ManagedProgram> &programs, bool printing,
                      const QString &reason, std::function<void()> then);

    // What one write holds.
    struct Row {
        QString station;
        QString host, version;
        QDateTime startedAt;
        DatabaseHealth health;
        // Empty: printing is off.
        QString printer;
        QStringList printerReasons;
        QString printerError;
        // The programs as a JSON array.
        QString programsJson;
        // Empty while the launcher runs.
        QString stopped;
    };
    // The one statement a write sends.
    static QString upsertStatement(const Row &row);

    // Writes that reached the server, for tests and the benchmark.
    int writes() const;

private:
    struct Outbox;
    struct Look;
    struct Nudge;
    void takePrinterLook();
    QString programsJson(const std::vector<ManagedProgram> &programs, qint64 nowMs) const;
    Row rowFor(const LauncherSettings &settings, const std::vector<ManagedProgram> &programs, bool printing,
               const DatabaseHealth &health, qint64 nowMs) const;
    void logOutcome();

    QString m_host, m_version;
    QDateTime m_startedAt;
    const Clock &m_clock;
    DatabaseWatchdog &m_watchdog;
    Worker &m_printerWorker;
    platform::Spooler &m_spooler;
    EventLog &m_log;
    std::function<DatabaseHealth()> m_health;
    std::shared_ptr<Outbox> m_outbox;
    std::shared_ptr<Look> m_look;
    std::shared_ptr<Nudge> m_nudge;
    std::function<void()> m_printerChanged;

    // The last write, while the way out waits for it.
    struct StopWrite {
        std::function<void()> then;
        std::function<void(odbc::Connection &)> job;
        std::chrono::steady_clock::time_point end;
        int writesBefore = 0;
        bool started = false;
    };
    void stopStep();
    std::unique_ptr<StopWrite> m_stop;
    QTimer m_stopTimer;

    // When the next look at the printer is due (monotonic).
    qint64 m_printerLookAtMs = 0;
    int m_checks = 0;
    // The station's rows for other devices, as last said in the log.
    int m_toldOtherDevices = 0;
    // How each program stood at the last pass.
    struct ProgramState {
        bool running = false;
        bool awaitingRestart = false;
        int failures = 0;
        QString name;
    };
    std::vector<ProgramState> m_programStates;
    // What the statement last made holds besides the programs.
    DatabaseHealth m_builtHealth;
    QString m_builtFor;
    // How each program last ended, and when (monotonic); kept across restarts.
    std::vector<QString> m_lastEnds;
    std::vector<qint64> m_endedAtMs;
    std::vector<bool> m_wasRunning;
    std::vector<int> m_failures;
    QStringList m_reasons;
    QString m_printerError;
    // The failure told last; empty while writes work.
    QString m_toldFailure;
    int m_toldWrites = 0;
};

} // namespace kv
