// Runs one child program with its standard output and standard error captured
// through one pipe, and lets the launcher poll that output without ever
// blocking. An open pipe is the only sign of life the launcher uses: a child
// whose own children still hold the pipe counts as running until they are
// gone too. The exit status is only told, never acted on.
//
// Use: Init; then getOutput on every poll while pReady is true; killProcess
// to stop. After an end (pReady false) the same runner may be started again.
#pragma once

#include "core/prompter.h"
#include "platform/process.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace kv {

class clsProcess {
public:
    // Longest text kept in outText, and most bytes taken in one poll.
    static constexpr qsizetype kMaxText = 65535;
    static constexpr std::size_t kReadSize = 65535;

    explicit clsProcess(Prompter &prompter,
                        platform::ChildSpawner &spawner = platform::systemSpawner());
    // Leaves a running child running.
    ~clsProcess();
    clsProcess(const clsProcess &) = delete;
    clsProcess &operator=(const clsProcess &) = delete;

    // True from a successful start until killProcess, or until a poll finds
    // the pipe closed. Callers may set it false to mark a run as handled;
    // that touches neither the child nor the pipe.
    bool pReady = false;
    // What the child wrote since the last start, at most the last kMaxText
    // characters. Cleared by Init and killProcess.
    QString outText;

    // Starts sCommandLine (arguments split at blanks, double quotes group;
    // no shell) in sWorkingDir ("" keeps the launcher's directory). Does
    // nothing while pReady is true. Throws std::invalid_argument when both
    // capture flags are false. A program that cannot be started is reported
    // to the person through the prompter, in a box that does not wait for
    // its OK, and leaves pReady false; so does a
    // pipe that cannot be made, but without a message box. Either way
    // startError() then gives the system's reason.
    // Output is decoded as UTF-8 either way: the console speaks UTF-8 here,
    // so blnOEMConvert has nothing left to convert and is accepted only
    // because callers pass it.
    void Init(const QString &sCommandLine, const QString &sWorkingDir, bool blnStdOut = true,
              bool blnStdErr = false, bool blnOEMConvert = true);

    // Takes a running process the launcher did not start (followed through
    // the process table) as this runner's program: pReady is true until a
    // poll finds it ended, killProcess ends it. It has no output, so outText
    // stays "". Does nothing and returns false while pReady is true or when
    // `process` is null.
    bool adopt(std::unique_ptr<platform::Child> process);
    // The running or last program was taken over by adopt, not started.
    bool adopted() const { return m_adopted; }

    // What the child wrote since the previous call, read without waiting;
    // "" when nothing is new, when not running, or when this call found the
    // pipe closed (pReady then turns false). Also appended to outText.
    QString getOutput();

    // Ends the direct child (its own children keep running) and returns the
    // runner to idle: pReady false, outText "". On a runner that was never
    // started it only clears those two.
    void killProcess();

    // The process id of the last start while the runner still holds it,
    // else 0. For display and diagnostics; nothing signals through it.
    int processId() const;

    // How the last run ended ("exited with status 3", "ended by signal 11
    // (SIGSEGV)") once a poll has found its output closed and the child
    // gone; "" while that is not known.
    QString endDescription() const;

    // While running: what the loop waits on for the next getOutput that
    // has news (Child::newWaitHandle; the caller closes it).
    std::intptr_t newWaitHandle() const;
    // Counts the starts and take-overs: a run of its own for a watch.
    quint64 runNumber() const { return m_runs; }

    // Why the last Init started nothing, with the system's reason; "" after
    // a start that worked.
    const QString &startError() const { return m_startError; }

private:
    QString decode(const char *bytes, std::size_t n);
    void appendToOutText(const QString &chunk);

    QString m_startError;
    Prompter &m_prompter;
    platform::ChildSpawner &m_spawner;
    std::unique_ptr<platform::Child> m_child;
    bool m_adopted = false;
    quint64 m_runs = 0;
    QByteArray m_buffer;
    // Bytes of a UTF-8 character whose rest has not arrived yet.
    QByteArray m_partial;
};

} // namespace kv
