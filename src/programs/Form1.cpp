#include "programs/Form1.h"

#include "config/odbc.h"
#include "config/vbDatabase.h"
#include "core/helpers.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>

namespace kv {

namespace {

QString boolWord(bool b)
{
    return b ? QStringLiteral("True") : QStringLiteral("False");
}

// Driver messages run over several lines ("\n\tIs the server running…"); the
// status line has room for the first.
QString firstLine(const QString &text)
{
    const qsizetype nl = text.indexOf(QLatin1Char('\n'));
    return (nl < 0 ? text : text.left(nl)).trimmed();
}

} // namespace

Form1::Form1(ManagedPrograms &programs, const LauncherSettings &shellConf, Prompter &prompter, Clock &clock)
    : m_programs(programs), m_shellConf(shellConf), m_prompter(prompter), m_clock(clock)
{
}

void Form1::changed()
{
    if (m_onChanged)
        m_onChanged();
}

ManagedProgram *Form1::selectedEntry()
{
    const int row = m_c.selectedRow;
    if (row < 0 || std::size_t(row) >= m_programs.managedPrograms.size())
        return nullptr;
    return &m_programs.managedPrograms[std::size_t(row)];
}

QString Form1::escString(const QString &instring)
{
    return database::escapeSqlText(instring);
}

QString Form1::updateStatement(const ManagedProgram &entry) const
{
    // The title goes into an escape-string literal like every other text: a
    // quote in it would otherwise end the literal and break the statement.
    return QStringLiteral("UPDATE managedprogram SET name=e'") + escString(entry.name) +
           QStringLiteral("', executable=e'") + escString(entry.executable) + QStringLiteral("', path=e'") +
           escString(entry.path) + QStringLiteral("', arguments=e'") + escString(entry.arguments) +
           QStringLiteral("', runonstart=") + boolWord(entry.runOnStart) + QStringLiteral(", restartonfailure=") +
           boolWord(entry.restartOnFailure) + QStringLiteral(" where id=") + QString::number(entry.id) +
           QStringLiteral(";");
}

// ------------------------------------------------------------------ the list

void Form1::form_reload()
{
    m_c.lstPrograms.clear();
    m_c.selectedRow = -1;
    for (const ManagedProgram &e : m_programs.managedPrograms)
        m_c.lstPrograms.append(e.name);
    changed();
    if (!m_c.lstPrograms.isEmpty())
        lstPrograms_Click(0);
    refreshPrograms();
}

void Form1::lstPrograms_Click(int row)
{
    if (row < 0 || row >= m_c.lstPrograms.size())
        return;
    m_c.selectedRow = row;
    refreshPrograms();
}

void Form1::setText(QString Form1Controls::*box, const QString &value, void (Form1::*onChange)(const QString &))
{
    if (m_c.*box == value)
        return;
    const QString copy = value;
    (this->*onChange)(copy);
}

void Form1::setCheck(bool Form1Controls::*box, bool value, void (Form1::*onClick)(bool))
{
    if (m_c.*box == value)
        return;
    (this->*onClick)(value);
}

void Form1::refreshPrograms()
{
    ManagedProgram *e = selectedEntry();
    if (!e)
        return;
    // Each box that changes writes the entry back from what it now shows,
    // which is the entry itself: the row is written unchanged.
    setText(&Form1Controls::txtPName, e->name, &Form1::txtPName_Change);
    setText(&Form1Controls::txtPPath, selectedEntry()->executable, &Form1::txtPPath_Change);
    setText(&Form1Controls::txtWorking, selectedEntry()->path, &Form1::txtWorking_Change);
    setText(&Form1Controls::txtArgs, selectedEntry()->arguments, &Form1::txtArgs_Change);
    setCheck(&Form1Controls::chkROS, selectedEntry()->runOnStart, &Form1::chkROS_Click);
    setCheck(&Form1Controls::chkROF, selectedEntry()->restartOnFailure, &Form1::chkROF_Click);
    showRunnerState();
}

void Form1::showRunnerState()
{
    ManagedProgram *e = selectedEntry();
    if (!e)
        return;
    const clsProcess &runner = m_programs.runnerOf(*e);
    if (runner.pReady) {
        // The front-end is ended from the front-end itself, never from here.
        const bool frontEnd = m_c.selectedRow == 0;
        m_c.cmdRunEnabled = false;
        m_c.cmdRunVisible = !frontEnd;
        m_c.cmdStopEnabled = !frontEnd;
        m_c.cmdStopVisible = !frontEnd;
    } else {
        m_c.cmdRunEnabled = true;
        m_c.cmdRunVisible = true;
        m_c.cmdStopEnabled = false;
        m_c.cmdStopVisible = true;
    }
    showOutputAndCount(*e);
}

void Form1::showOutputAndCount(ManagedProgram &entry)
{
    m_c.txtOutput = m_programs.runnerOf(entry).outText;
    m_c.chkROFCaption = QStringLiteral("Restart on Failure:") + QString::number(entry.failureCount);
    changed();
}

// ------------------------------------------------------------------ editing

void Form1::editSelected(QString &box, QString ManagedProgram::*field, const QString &text)
{
    box = text;
    if (ManagedProgram *e = selectedEntry()) {
        e->*field = text;
        savetodb(qint16(m_c.selectedRow));
    }
}

void Form1::txtPName_Change(const QString &text) { editSelected(m_c.txtPName, &ManagedProgram::name, text); }

void Form1::txtPPath_Change(const QString &text) { editSelected(m_c.txtPPath, &ManagedProgram::executable, text); }

void Form1::txtArgs_Change(const QString &text) { editSelected(m_c.txtArgs, &ManagedProgram::arguments, text); }

void Form1::txtWorking_Change(const QString &text)
{
    // The box keeps what was typed; the entry gets a directory the command
    // line can put the file name straight after.
    m_c.txtWorking = text;
    if (ManagedProgram *e = selectedEntry()) {
        e->path = addBackslash(text);
        savetodb(qint16(m_c.selectedRow));
    }
}

void Form1::chkROS_Click(bool checked)
{
    m_c.chkROS = checked;
    if (ManagedProgram *e = selectedEntry()) {
        e->runOnStart = checked;
        savetodb(qint16(m_c.selectedRow));
    }
}

void Form1::chkROF_Click(bool checked)
{
    m_c.chkROF = checked;
    if (ManagedProgram *e = selectedEntry()) {
        e->restartOnFailure = checked;
        savetodb(qint16(m_c.selectedRow));
    }
}

// ------------------------------------------------------------- the database

bool Form1::savetodb(qint16 procind)
{
    m_pending.insert(procind);
    return flushPending();
}

bool Form1::retryPending()
{
    return flushPending();
}

bool Form1::flushPending()
{
    if (m_pending.empty())
        return true;
    if (m_clock.monotonicMs() < m_quietUntilMs)
        return false;
    try {
        m_db.run(database::buildConnectionText(m_shellConf), [this](odbc::Connection &connection) {
            // Each entry leaves the set only once its row is written, so a
            // repeat after a lost link writes only what is left.
            while (!m_pending.empty()) {
                const int index = *m_pending.begin();
                if (index >= 0 && std::size_t(index) < m_programs.managedPrograms.size()) {
                    odbc::Recordset rs;
                    rs.open(updateStatement(m_programs.managedPrograms[std::size_t(index)]), connection);
                }
                m_pending.erase(m_pending.begin());
            }
        });
    } catch (const odbc::Error &e) {
        m_lastFailure = firstLine(e.description());
        m_quietUntilMs = m_clock.monotonicMs() + m_retryDelayMs;
        m_retryDelayMs = std::min(m_retryDelayMs * 2, kMaxRetryDelayMs);
        if (!m_failureShown) {
            m_failureShown = true;
            reportFailure(QStringLiteral("Changes not saved yet"), e.description());
        }
        return false;
    }
    m_retryDelayMs = kRetryDelayMs;
    if (m_failureShown) {
        m_failureShown = false;
        m_c.status = QStringLiteral("The database answers again: every change is saved.");
        changed();
    } else if (!m_c.status.isEmpty()) {
        m_c.status.clear();
        changed();
    }
    return true;
}

QString Form1::saveBeforeQuit(bool mayAsk)
{
    // A message box below lets events run, the system's end among them.
    if (m_pending.empty() || m_quitting)
        return QString();
    m_quitting = true;
    {
        BusyCursor busy(m_prompter);
        // No waiting out the pause after a failure: there is no later.
        m_quietUntilMs = 0;
        flushPending();
    }
    QStringList names;
    for (const int index : m_pending) {
        if (index >= 0 && std::size_t(index) < m_programs.managedPrograms.size()) {
            const ManagedProgram &e = m_programs.managedPrograms[std::size_t(index)];
            names << (e.name.isEmpty() ? e.executable : e.name);
        }
    }
    if (!names.isEmpty() && mayAsk) {
        MessageBox box;
        box.text = QStringLiteral("The changes to these programs could not be saved in the database:\r\n\r\n%1"
                                  "\r\n\r\n%2\r\n\r\nPlease make them again in Manage Programs once the "
                                  "database answers.")
                       .arg(names.join(QStringLiteral("\r\n")), m_lastFailure);
        box.title = QStringLiteral("Korvantis Launcher");
        box.icon = MsgIcon::Exclamation;
        box.systemModal = true;
        m_prompter.messageBox(box);
    }
    m_quitting = false;
    if (names.isEmpty())
        return QString();
    return QStringLiteral("the changes to %1 could not be saved in the database: %2")
        .arg(names.join(QStringLiteral(", ")), m_lastFailure);
}

void Form1::reportFailure(const QString &what, const QString &description)
{
    m_c.status = what + QStringLiteral(": ") + firstLine(description);
    changed();
}

void Form1::addtodb()
{
    std::optional<qint64> outOfRange;
    qint16 newId = 0;
    try {
        // A click, not a keystroke: it tries even while writes are held back.
        m_db.run(database::buildConnectionText(m_shellConf), [&](odbc::Connection &connection) {
            outOfRange.reset();
            odbc::Recordset rs;
            rs.open(QStringLiteral("SELECT nextval('managedprogram_id_seq') AS id;"), connection);
            bool ok = false;
            const qint64 id = rs.field(QStringLiteral("id")).toInt64(&ok);
            rs.close();
            if (!ok || id < std::numeric_limits<qint16>::min() || id > std::numeric_limits<qint16>::max()) {
                outOfRange = id;
                return;
            }
            newId = qint16(id);
            rs.open(QStringLiteral("INSERT INTO managedprogram (id, name, executable, path, arguments, machineid)"
                                   "VALUES (") +
                        QString::number(newId) + QStringLiteral(", 'New Program', '', '', '', '") +
                        m_shellConf.stationid + QStringLiteral("');"),
                    connection);
        });
    } catch (const odbc::Error &e) {
        reportFailure(QStringLiteral("The program was not added"), e.description());
        return;
    }
    if (outOfRange) {
        MessageBox box;
        box.text = QStringLiteral("The program was not added: the database gave it the number %1, and the launcher "
                                  "can hold program numbers up to %2 only. Ask your administrator to renumber "
                                  "the programs.")
                       .arg(*outOfRange)
                       .arg(std::numeric_limits<qint16>::max());
        box.title = QStringLiteral("Korvantis Launcher");
        box.icon = MsgIcon::Exclamation;
        box.systemModal = true;
        m_prompter.messageBox(box);
        return;
    }

    ManagedProgram entry;
    entry.id = newId;
    entry.name = QStringLiteral("New Program");
    entry.runOnStart = true;
    entry.restartOnFailure = true;
    m_programs.managedPrograms.push_back(std::move(entry));
    form_reload();
}

// ------------------------------------------------------------- run and stop

void Form1::cmdRun_Click()
{
    ManagedProgram *e = selectedEntry();
    if (!e)
        return;
    const int row = m_c.selectedRow;
    const bool running = m_programs.startProgram(row);
    // Started by hand: counting begins again (a pending restart stays pending).
    ManagedProgram &entry = m_programs.managedPrograms[std::size_t(row)];
    entry.failureCount = 0;
    // Run and Stop only change whether they can be pressed; which of them
    // show is the selection's business. So the front-end started here can
    // be stopped here.
    if (running) {
        m_c.cmdRunEnabled = false;
        m_c.cmdStopEnabled = true;
    }
    showOutputAndCount(entry);
}

void Form1::cmdStop_Click()
{
    if (!selectedEntry())
        return;
    ManagedProgram &e = *selectedEntry();
    m_programs.stopProgram(m_c.selectedRow);
    if (!m_programs.runnerOf(e).pReady) {
        m_c.cmdRunEnabled = true;
        m_c.cmdStopEnabled = false;
    }
    showOutputAndCount(e);
}

void Form1::cmdClose_Click()
{
    // Nothing is typed while the window is hidden: give the server its
    // session back. Unsaved entries reopen it when they are retried.
    m_db.close();
}

// ------------------------------------------------------ the supervision pass

void Form1::outputChanged(int index)
{
    if (index != m_c.selectedRow)
        return;
    if (ManagedProgram *e = selectedEntry()) {
        m_c.txtOutput = m_programs.runnerOf(*e).outText;
        changed();
    }
}

void Form1::entryEnded(int)
{
    refreshPrograms();
}

void Form1::restartTried(int index)
{
    // Running again (or its count one higher): the buttons and the caption
    // would otherwise show the end until another row is chosen.
    if (index == m_c.selectedRow)
        refreshPrograms();
}

} // namespace kv
