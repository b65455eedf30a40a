#include "programs/Form1.h"

#include "station/keptconnection.h"
#include "station/odbc.h"
#include "station/vbDatabase.h"
#include "core/helpers.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>
#include <vector>

namespace kv {

struct Form1::Session {
    odbc::KeptConnection db{kStatementDeadlineMs};
};

// Handed over: copies taken on the window thread. Found: written by the job
// only, read by the window thread once the worker is idle again.
struct Form1::Job {
    QString connectionText;
    struct Write {
        int index;
        quint64 edit;
        QString statement;
    };
    std::vector<Write> writes;
    bool add = false;
    QString stationid;
    // Nothing left to write: the server gets its session back.
    bool close = false;

    // How many of `writes`, from the first, reached the database.
    std::size_t written = 0;
    // The error that stopped the writes.
    std::optional<QString> writeError;
    std::optional<QString> addError;
    // The id the sequence gave, and whether the row went in with it.
    std::optional<qint64> addedId;
    bool added = false;
    // The id can be held as a program's number.
    bool idFits = false;
    // The INSERT went to the server; whether it arrived may be unknown.
    bool insertSent = false;
};

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

Form1::Form1(ManagedPrograms &programs, const LauncherSettings &shellConf, Prompter &prompter, Clock &clock,
             Worker &worker)
    : m_programs(programs), m_shellConf(shellConf), m_prompter(prompter), m_clock(clock), m_worker(worker),
      m_session(std::make_shared<Session>())
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

void Form1::txtPName_Change(const QString &text)
{
    editSelected(m_c.txtPName, &ManagedProgram::name, text);
    // The list names each program as it is saved, not as it was when the
    // window last filled it (a program just added would stay "New Program").
    if (m_c.selectedRow >= 0 && m_c.selectedRow < m_c.lstPrograms.size()) {
        m_c.lstPrograms[m_c.selectedRow] = text;
        changed();
    }
}

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

void Form1::savetodb(qint16 procind)
{
    m_pending[procind] = ++m_edits;
    m_closeWanted = false;
    startJob();
}

void Form1::addtodb()
{
    // A click, not a keystroke: it tries even while writes are held back.
    ++m_addsWanted;
    startJob(true);
}

bool Form1::tick()
{
    if (!m_quitting) {
        takeFindings();
        startJob();
    }
    return m_pending.empty();
}

void Form1::startJob(bool now)
{
    if (m_inFlight || m_worker.busy())
        return;
    const bool writesDue = !m_pending.empty() && (now || m_clock.monotonicMs() >= m_quietUntilMs);
    const bool addDue = m_addsWanted > 0;
    const bool closeDue = m_closeWanted && m_pending.empty() && !addDue;
    if (!writesDue && !addDue && !closeDue)
        return;
    auto job = std::make_shared<Job>();
    job->connectionText = database::buildConnectionText(m_shellConf);
    // One connection attempt serves both: unsaved entries go along with an Add.
    if (writesDue || addDue) {
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            const auto [index, edit] = *it;
            // An entry the list no longer holds has no row to write.
            if (index < 0 || std::size_t(index) >= m_programs.managedPrograms.size()) {
                it = m_pending.erase(it);
                continue;
            }
            job->writes.push_back({index, edit, updateStatement(m_programs.managedPrograms[std::size_t(index)])});
            ++it;
        }
    }
    if (addDue) {
        job->add = true;
        job->stationid = m_shellConf.stationid;
        --m_addsWanted;
    }
    job->close = closeDue;
    if (closeDue)
        m_closeWanted = false;
    if (!m_worker.start([session = m_session, job] { runJob(*session, *job); })) {
        // No thread to be had: as if the server had not answered.
        job->writeError = QStringLiteral("the launcher could not start the work");
        if (job->add)
            job->addError = *job->writeError;
    }
    m_inFlight = job;
    if (m_onJobStarted)
        m_onJobStarted();
}

void Form1::runJob(Session &session, Job &job)
{
    if (job.close) {
        session.db.close();
        return;
    }
    if (!job.writes.empty()) {
        try {
            session.db.run(job.connectionText, [&job](odbc::Connection &connection) {
                // A repeat after a lost link writes only what is left.
                for (; job.written < job.writes.size(); ++job.written) {
                    odbc::Recordset rs;
                    rs.open(job.writes[job.written].statement, connection);
                }
            });
        } catch (const odbc::Error &e) {
            job.writeError = e.description();
        } catch (const std::exception &e) {
            job.writeError = QString::fromLocal8Bit(e.what());
        }
    }
    if (!job.add)
        return;
    try {
        // Repeated after a lost link, the step keeps its id and repeats only
        // what never reached the server: an INSERT that was sent may have
        // gone in before the link went, and a second one would add the
        // program twice, so the row is looked for first.
        session.db.run(job.connectionText, [&job](odbc::Connection &connection) {
            odbc::Recordset rs;
            if (!job.addedId) {
                rs.open(QStringLiteral("SELECT nextval('managedprogram_id_seq') AS id;"), connection);
                bool ok = false;
                const qint64 id = rs.field(QStringLiteral("id")).toInt64(&ok);
                rs.close();
                job.addedId = id;
                job.idFits = ok && id >= std::numeric_limits<qint16>::min() && id <= std::numeric_limits<qint16>::max();
            }
            if (!job.idFits)
                return;
            const qint64 id = *job.addedId;
            if (job.insertSent) {
                rs.open(QStringLiteral("SELECT count(*) AS n FROM managedprogram WHERE id = ") + QString::number(id),
                        connection);
                const bool there = rs.field(QStringLiteral("n")).toInt64() > 0;
                rs.close();
                if (there) {
                    job.added = true;
                    return;
                }
            }
            job.insertSent = true;
            rs.open(QStringLiteral("INSERT INTO managedprogram (id, name, executable, path, arguments, machineid)"
                                   "VALUES (") +
                        QString::number(id) + QStringLiteral(", 'New Program', '', '', '', '") + job.stationid +
                        QStringLiteral("');"),
                    connection);
            job.added = true;
        });
    } catch (const odbc::Error &e) {
        job.addError = e.description();
    } catch (const std::exception &e) {
        job.addError = QString::fromLocal8Bit(e.what());
    }
}

void Form1::takeFindings()
{
    if (!m_inFlight || m_worker.busy())
        return;
    // Taken first: a message box below lets ticks run.
    const std::shared_ptr<Job> job = std::move(m_inFlight);
    m_inFlight.reset();
    applyFindings(*job);
}

void Form1::applyFindings(const Job &job)
{
    for (std::size_t i = 0; i < job.written; ++i) {
        // Edited again since it was copied: the newer text is still to go.
        const auto it = m_pending.find(job.writes[i].index);
        if (it != m_pending.end() && it->second == job.writes[i].edit)
            m_pending.erase(it);
    }
    if (job.writeError) {
        m_lastFailure = firstLine(*job.writeError);
        m_quietUntilMs = m_clock.monotonicMs() + m_retryDelayMs;
        m_retryDelayMs = std::min(m_retryDelayMs * 2, kMaxRetryDelayMs);
        if (!m_failureShown) {
            m_failureShown = true;
            reportFailure(QStringLiteral("Changes not saved yet"), *job.writeError);
        }
    } else if (!job.writes.empty()) {
        m_retryDelayMs = kRetryDelayMs;
        m_quietUntilMs = 0;
        if (m_failureShown) {
            // Said when it is true: edits made meanwhile go with the next job.
            if (m_pending.empty()) {
                m_failureShown = false;
                m_c.status = QStringLiteral("The database answers again: every change is saved.");
                changed();
            }
        } else if (!m_c.status.isEmpty()) {
            m_c.status.clear();
            changed();
        }
    }
    if (!job.add)
        return;
    if (job.addError) {
        reportFailure(QStringLiteral("The program was not added"), *job.addError);
        return;
    }
    if (!job.added) {
        MessageBox box;
        box.text = QStringLiteral("The program was not added: the database gave it the number %1, and the launcher "
                                  "can hold program numbers up to %2 only. Ask your administrator to renumber "
                                  "the programs.")
                       .arg(job.addedId.value_or(0))
                       .arg(std::numeric_limits<qint16>::max());
        box.title = QStringLiteral("Korvantis Launcher");
        box.icon = MsgIcon::Exclamation;
        box.systemModal = true;
        m_prompter.messageBox(box);
        return;
    }
    ManagedProgram entry;
    entry.id = qint16(*job.addedId);
    entry.name = QStringLiteral("New Program");
    entry.runOnStart = true;
    entry.restartOnFailure = true;
    m_programs.managedPrograms.push_back(std::move(entry));
    form_reload();
}

QString Form1::saveBeforeQuit(bool mayAsk)
{
    // A message box below lets events run, the system's end among them.
    if (m_pending.empty() || m_quitting)
        return QString();
    m_quitting = true;
    {
        BusyCursor busy(m_prompter);
        QElapsedTimer waited;
        waited.start();
        const auto waitForJob = [&] {
            if (m_inFlight && m_worker.waitIdle(int(std::max<qint64>(kQuitWaitMs - waited.elapsed(), 0))))
                takeFindings();
        };
        // The running job may have copied entries older than they are now.
        waitForJob();
        if (!m_inFlight && !m_pending.empty()) {
            // No waiting out the pause after a failure: there is no later.
            startJob(true);
            waitForJob();
        }
        if (m_inFlight)
            m_lastFailure = QStringLiteral("the database did not answer in time");
    }
    QStringList names;
    for (const auto &[index, edit] : m_pending) {
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

// ------------------------------------------------------------- run and stop

void Form1::cmdRun_Click()
{
    ManagedProgram *e = selectedEntry();
    if (!e)
        return;
    const int row = m_c.selectedRow;
    // A program just added has no file name yet: starting its directory
    // would only fail, with a reason that points nowhere near the cause.
    if (e->executable.isEmpty()) {
        m_c.status = QStringLiteral("\"%1\" cannot run: it has no File Name. Type the program's file name "
                                    "there first.")
                         .arg(e->name);
        changed();
        return;
    }
    const bool running = m_programs.startProgram(row);
    // Started by hand: counting begins again (a pending restart stays pending).
    ManagedProgram &entry = m_programs.managedPrograms[std::size_t(row)];
    if (!running) {
        // The box tells that it failed; this line, which stays, says why.
        m_c.status = QStringLiteral("\"%1\" could not be started: %2")
                         .arg(entry.name, m_programs.runnerOf(entry).startError());
    }
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
    // session back once every entry is written.
    m_closeWanted = true;
    startJob();
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
