// Everything the core asks of the person at the till goes through here, so
// the core runs without a display and tests can script the answers.
#pragma once

#include "core/eventlog.h"
#include "core/outcome.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

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

// A box shown without waiting for the person. The prompter that shows it
// fills in the answer when the person gives one; whoever asked reads it at a
// later look (the launcher: a later tick) or is told through onAnswer.
class OpenBox {
public:
    explicit OpenBox(MessageBox box) : m_box(std::move(box)) {}
    const MessageBox &box() const { return m_box; }
    // The person's answer; nullopt while the box waits for one.
    std::optional<MsgResult> answer() const { return m_answer; }
    // Brings the waiting box to the front again.
    void raise()
    {
        if (!m_answer && m_raise)
            m_raise();
    }
    // `then` runs once with the answer: at once when it is already given.
    void onAnswer(std::function<void(MsgResult)> then);

    // For the prompter that shows the box.
    void setRaise(std::function<void()> raise) { m_raise = std::move(raise); }
    // The first answer counts; a later one is ignored.
    void answered(MsgResult answer);

private:
    MessageBox m_box;
    std::optional<MsgResult> m_answer;
    std::function<void()> m_raise;
    QList<std::function<void(MsgResult)>> m_then;
};

class Prompter {
public:
    virtual ~Prompter() = default;
    // Waits for the answer: only where nothing else may run until the person
    // has answered (the caller says why).
    virtual MsgResult messageBox(const MessageBox &box) = 0;
    // Shows the box as messageBox shows it, but returns at once: the caller
    // goes on while the box waits for the person. Dropping the handle leaves
    // the box up. A stand-in that cannot show one without waiting shows it
    // as messageBox does and returns it answered.
    virtual std::shared_ptr<OpenBox> openBox(const MessageBox &box);
    // A box whose only answer is OK, shown without waiting.
    void showMessage(const MessageBox &box) { openBox(box); }
    // The typed text, or "" when the person cancelled.
    virtual QString inputBox(const QString &prompt, const QString &title,
                             const QString &defaultText) = 0;
    virtual void setBusyCursor(bool busy) = 0;
};

// Shows every box through another prompter and logs it when shown, with the
// answer when it comes, so that the log holds whatever the person was asked
// or told and what they said. The launcher shows everything through one of
// these. A box shown without waiting is never stacked: the same box (text,
// title, icon, buttons) asked again while it still waits is that box, raised,
// and its handle is returned again; the person answers it once.
class LoggingPrompter final : public Prompter {
public:
    LoggingPrompter(Prompter &shown, EventLog &log) : m_shown(shown), m_log(log) {}
    MsgResult messageBox(const MessageBox &box) override;
    std::shared_ptr<OpenBox> openBox(const MessageBox &box) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &defaultText) override;
    void setBusyCursor(bool busy) override { m_shown.setBusyCursor(busy); }

private:
    Prompter &m_shown;
    EventLog &m_log;
    // Shown without waiting and not answered yet.
    QList<std::shared_ptr<OpenBox>> m_waiting;
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
