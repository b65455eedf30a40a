// The program manager window's behaviour, without widgets: the list of the
// station's programs, the boxes that edit the selected one, Run and Stop,
// Add, and the output of the selected program. The window (programs/gui)
// shows `controls()` and hands every user action to the handler of the same
// name; tests drive the handlers directly, and tick() for the window's timer.
//
// Row i of the list is entry i of managedPrograms. Every edit goes into the
// entry at once and, as soon as the database takes it, to the entry's row of
// managedprogram. Filling the boxes for another row counts as editing them
// where a value changes, so selecting a row writes that entry back as it is.
//
// Writes go over one kept connection, so that a write per keystroke costs one
// round trip. They never run on the window thread: a server that does not
// answer would hold the till's only window thread for the login timeout and
// the statement deadline. An edit marks its entry unsaved and hands every
// unsaved entry, as a copy of its UPDATE, to the worker; the window's timer
// calls tick(), which takes what the job found and hands over the next. An
// entry edited again while its write runs stays unsaved, so the newest text
// is always written last. When a write fails, the window says so once on its
// status line and keeps the entry as typed and unsaved; later edits and
// ticks write every unsaved entry once the database answers again. After a
// failure the database is left alone for a while (kRetryDelayMs, growing
// while failures go on), so that an outage costs few connection attempts.
// When the launcher ends, saveBeforeQuit() waits a bounded time for one more
// try and names the programs whose changes are lost.
#pragma once

#include "station/odbc.h"
#include "station/vbConfig.h"
#include "core/clock.h"
#include "core/prompter.h"
#include "core/worker.h"
#include "programs/vbManagedPrograms.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>

namespace kv {

// What the window shows. Names follow the window's controls.
struct Form1Controls {
    QStringList lstPrograms;
    // -1 while the list is empty.
    int selectedRow = -1;
    QString txtPName;
    QString txtPPath;
    QString txtWorking;
    QString txtArgs;
    bool chkROS = false;
    bool chkROF = false;
    QString chkROFCaption = QStringLiteral("Restart on Failure");
    bool cmdRunEnabled = true;
    bool cmdRunVisible = true;
    bool cmdStopEnabled = true;
    bool cmdStopVisible = true;
    QString txtOutput;
    // One line about the last write, Add or Run that failed, or that writes
    // reach the database again; "" once a later write went through.
    QString status;
};

class Form1 final : public ManagedProgramsObserver {
public:
    // A write that waits longer than this on the server is given up.
    static constexpr int kStatementDeadlineMs = 3000;
    // After a failed write, edits only mark their entry unsaved for this
    // long, twice as long after a further failure, up to the maximum. The
    // attempts run on the worker, so one that waits for a server that does
    // not answer costs the window nothing; the maximum is what an edit made
    // during an outage may wait after the server is back, a few seconds
    // however long the outage was.
    static constexpr qint64 kRetryDelayMs = 2000;
    static constexpr qint64 kMaxRetryDelayMs = 4000;
    // How long quitting waits, all told, for the writes still running and
    // one more try: a reopened connection's login and a statement on it,
    // after a statement given up on the kept one.
    static constexpr int kQuitWaitMs = odbc::kLoginTimeoutSeconds * 1000 + 2 * kStatementDeadlineMs + 1000;

    // `worker` runs the database work and nothing else's.
    Form1(ManagedPrograms &programs, const LauncherSettings &shellConf, Prompter &prompter, Clock &clock,
          Worker &worker);

    const Form1Controls &controls() const { return m_c; }
    // Called whenever controls() changed, for the window to show them.
    void setOnChanged(std::function<void()> onChanged) { m_onChanged = std::move(onChanged); }
    // Called when a job was handed to the worker: its result is worth taking
    // sooner than the next second's tick.
    void setOnJobStarted(std::function<void()> onJobStarted) { m_onJobStarted = std::move(onJobStarted); }

    // The window is created: fills the list.
    void Form_Load() { form_reload(); }
    // Rebuilds the list from managedPrograms and selects row 0.
    void form_reload();
    // Fills the boxes, buttons, caption and output from the selected entry.
    void refreshPrograms();

    void lstPrograms_Click(int row);
    void txtPName_Change(const QString &text);
    void txtPPath_Change(const QString &text);
    void txtArgs_Change(const QString &text);
    void txtWorking_Change(const QString &text);
    void chkROS_Click(bool checked);
    void chkROF_Click(bool checked);
    void cmdAdd_Click() { addtodb(); }
    void cmdRun_Click();
    void cmdStop_Click();
    // The window was hidden: nothing will be typed for a while.
    void cmdClose_Click();

    // Entry procind is to be written to its row: handed over now, unless a
    // job runs or a failure was too recent, and then by a later tick.
    void savetodb(qint16 procind);
    // Asks for a row for a new program of this station; a later tick adds
    // its entry and reloads the list.
    void addtodb();
    // For a timer of the window: takes what the finished job found and hands
    // over the next one that is due. True when nothing is left unsaved.
    bool tick();
    bool hasPending() const { return !m_pending.empty(); }
    // A job was handed over and its result not taken yet.
    bool jobRunning() const { return m_inFlight != nullptr; }
    // The launcher is ending: waits for the running job and one more try,
    // at once, for every unsaved entry (kQuitWaitMs at most, all told), and
    // tells the person (mayAsk) the names of those still unsaved. Returns
    // what was lost, or "".
    QString saveBeforeQuit(bool mayAsk);

    // For the inside of an e'...' literal: backslashes doubled, then quotes.
    static QString escString(const QString &instring);
    QString updateStatement(const ManagedProgram &entry) const;

    // What the supervision pass tells the window.
    void outputChanged(int index) override;
    void entryEnded(int index) override;
    void restartTried(int index) override;

private:
    // What a job touches: its own copies, and the kept connection, which
    // only jobs use and which outlives the window if a job does.
    struct Session;
    struct Job;
    static void runJob(Session &session, Job &job);

    ManagedProgram *selectedEntry();
    // A text box edited: the box keeps the text, the selected entry and its row take it.
    void editSelected(QString &box, QString ManagedProgram::*field, const QString &text);
    // Hands the next job over when one is due and none runs; `now` also
    // ends the pause after a failure.
    void startJob(bool now = false);
    // Takes the finished job's findings, if it has ended.
    void takeFindings();
    void applyFindings(const Job &job);
    void reportFailure(const QString &what, const QString &description);
    // The buttons by the selected entry's state, its output and count.
    void showRunnerState();
    void showOutputAndCount(ManagedProgram &entry);
    void changed();
    void setText(QString Form1Controls::*box, const QString &value, void (Form1::*onChange)(const QString &));
    void setCheck(bool Form1Controls::*box, bool value, void (Form1::*onClick)(bool));

    ManagedPrograms &m_programs;
    const LauncherSettings &m_shellConf;
    Prompter &m_prompter;
    Clock &m_clock;
    Worker &m_worker;
    std::shared_ptr<Session> m_session;
    // The job handed over and not taken yet.
    std::shared_ptr<Job> m_inFlight;
    Form1Controls m_c;
    std::function<void()> m_onChanged;
    std::function<void()> m_onJobStarted;
    // Entry indexes whose last edit has not reached the database, each with
    // the number of that edit: a job's write counts only for the edit it copied.
    std::map<int, quint64> m_pending;
    quint64 m_edits = 0;
    // Add was clicked this many times and not handed over yet.
    int m_addsWanted = 0;
    // The window was hidden: the session goes back once nothing is unsaved.
    bool m_closeWanted = false;
    bool m_failureShown = false;
    // The first line of the last failed write's error.
    QString m_lastFailure;
    bool m_quitting = false;
    qint64 m_retryDelayMs = kRetryDelayMs;
    qint64 m_quietUntilMs = 0;
};

} // namespace kv
