// The program manager window's behaviour, without widgets: the list of the
// station's programs, the boxes that edit the selected one, Run and Stop,
// Add, and the output of the selected program. The window (programs/gui)
// shows `controls()` and hands every user action to the handler of the same
// name; tests drive the handlers directly.
//
// Row i of the list is entry i of managedPrograms. Every edit goes into the
// entry at once and, in the same moment, to the entry's row of
// managedprogram. Filling the boxes for another row counts as editing them
// where a value changes, so selecting a row writes that entry back as it is.
//
// Writes go over one kept connection, so that a write per keystroke costs one
// round trip. When a write fails, the window says so once on its status line,
// keeps the entry as typed and marks it unsaved; later edits and
// retryPending() write every unsaved entry once the database answers again.
// After a failure the database is left alone for a while (kRetryDelayMs,
// growing while failures go on), so typing during an outage never waits on a
// connection attempt per keystroke. When the launcher ends, saveBeforeQuit()
// tries once more and names the programs whose changes are lost.
#pragma once

#include "config/keptconnection.h"
#include "config/vbConfig.h"
#include "core/clock.h"
#include "core/prompter.h"
#include "programs/vbManagedPrograms.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <set>

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
    // One line about the last write or Add that failed, or that writes
    // reach the database again; "" once a later write went through.
    QString status;
};

class Form1 final : public ManagedProgramsObserver {
public:
    // A write that waits longer than this on the server is given up.
    static constexpr int kStatementDeadlineMs = 3000;
    // After a failed write, edits only mark their entry unsaved for this
    // long, twice as long after each further failure, up to the maximum: a
    // server that does not answer at all costs a connection timeout per
    // attempt, and attempts must stay rare for the till to stay usable.
    static constexpr qint64 kRetryDelayMs = 2000;
    static constexpr qint64 kMaxRetryDelayMs = 64000;

    Form1(ManagedPrograms &programs, const LauncherSettings &shellConf, Prompter &prompter, Clock &clock);

    const Form1Controls &controls() const { return m_c; }
    // Called whenever controls() changed, for the window to show them.
    void setOnChanged(std::function<void()> onChanged) { m_onChanged = std::move(onChanged); }

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

    // Writes entry procind to its row; false when it stays unsaved for now.
    bool savetodb(qint16 procind);
    // Creates a row for a new program of this station and its entry.
    void addtodb();
    // Writes every entry still unsaved, unless a failure was too recent.
    // For a timer of the window; true when nothing is left unsaved.
    bool retryPending();
    bool hasPending() const { return !m_pending.empty(); }
    // The launcher is ending: one more try, at once, for every unsaved
    // entry, and the names of those still unsaved told to the person
    // (mayAsk). Returns what was lost, or "".
    QString saveBeforeQuit(bool mayAsk);

    // For the inside of an e'...' literal: backslashes doubled, then quotes.
    static QString escString(const QString &instring);
    QString updateStatement(const ManagedProgram &entry) const;

    // What the supervision pass tells the window.
    void outputChanged(int index) override;
    void entryEnded(int index) override;
    void restartTried(int index) override;

private:
    ManagedProgram *selectedEntry();
    // A text box edited: the box keeps the text, the selected entry and its row take it.
    void editSelected(QString &box, QString ManagedProgram::*field, const QString &text);
    bool flushPending();
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
    odbc::KeptConnection m_db{kStatementDeadlineMs};
    Form1Controls m_c;
    std::function<void()> m_onChanged;
    // Entry indexes whose last write did not reach the database.
    std::set<int> m_pending;
    bool m_failureShown = false;
    // The first line of the last failed write's error.
    QString m_lastFailure;
    bool m_quitting = false;
    qint64 m_retryDelayMs = kRetryDelayMs;
    qint64 m_quietUntilMs = 0;
};

} // namespace kv
