// Everything the core asks of the person at the till goes through here, so
// the core runs without a display and tests can script the answers.
#pragma once

#include "core/eventlog.h"
#include "core/outcome.h"

#include <QString>

namespace kv {

enum class MsgButtons { OK, OKCancel, AbortRetryIgnore, YesNoCancel, YesNo, RetryCancel };
enum class MsgIcon { None, Critical, Question, Exclamation, Information };
enum class MsgResult { OK, Cancel, Abort, Retry, Ignore, Yes, No };

struct MessageBox {
    QString text;
    QString title;
    MsgButtons buttons = MsgButtons::OK;
    // 1-based, in the order the buttons are named above (YesNo: 1 = Yes, 2 = No).
    int defaultButton = 1;
    MsgIcon icon = MsgIcon::None;
    // Application-modal and kept above every other window.
    bool systemModal = false;
};

class Prompter {
public:
    virtual ~Prompter() = default;
    virtual MsgResult messageBox(const MessageBox &box) = 0;
    // A box whose only answer is OK, shown as messageBox shows it, but the
    // call returns at once: the main loop goes on while the box waits for
    // the person. A stand-in that cannot show one without waiting shows it
    // as messageBox does.
    virtual void showMessage(const MessageBox &box) { messageBox(box); }
    // The typed text, or "" when the person cancelled.
    virtual QString inputBox(const QString &prompt, const QString &title,
                             const QString &defaultText) = 0;
    virtual void setBusyCursor(bool busy) = 0;
};

// Shows every box through another prompter and logs it with the answer, so
// that the log holds whatever the person was asked or told and what they
// said. The launcher shows everything through one of these.
class LoggingPrompter final : public Prompter {
public:
    LoggingPrompter(Prompter &shown, EventLog &log) : m_shown(shown), m_log(log) {}
    MsgResult messageBox(const MessageBox &box) override;
    void showMessage(const MessageBox &box) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &defaultText) override;
    void setBusyCursor(bool busy) override { m_shown.setBusyCursor(busy); }

private:
    Prompter &m_shown;
    EventLog &m_log;
};

// Shows the busy cursor for a scope and restores it on every way out,
// exceptions included.
class BusyCursor {
public:
    explicit BusyCursor(Prompter &p) : m_p(p) { m_p.setBusyCursor(true); }
    ~BusyCursor() { m_p.setBusyCursor(false); }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;

private:
    Prompter &m_p;
};

// A file the launcher must write in its directory could not be written:
// nothing sensible can follow, so the person is told to restart with more
// rights and the launcher ends. `text` is the whole message; the title
// carries the system's description of the error.
Outcome endForLackOfRights(Prompter &prompter, const QString &text, const QString &errorDescription);

// Text of a button set and a result, for messages and test failures.
QString toString(MsgButtons b);
QString toString(MsgIcon i);
QString toString(MsgResult r);

} // namespace kv
