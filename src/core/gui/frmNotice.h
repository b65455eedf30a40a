// A notice about the database connection: a window of its own, modeless,
// that closes itself two hours after it was made and deletes itself when it
// closes, so nobody has to keep it.
#pragma once

#include "core/noticecountdown.h"
#include "core/noticesink.h"

#include <QTimer>
#include <QWidget>

#include <memory>

namespace Ui {
class frmNotice;
}

namespace kv {

class frmNotice final : public QWidget {
    Q_OBJECT
public:
    explicit frmNotice(const Notice &notice, QWidget *parent = nullptr);
    ~frmNotice() override;

    qint16 secondsLeft() const { return m_countdown.secondsLeft; }
    QTimer &Timer1() { return m_timer; }

public slots:
    // One second has passed.
    void Timer1_Timer();

private:
    std::unique_ptr<Ui::frmNotice> m_ui;
    notice::Countdown m_countdown;
    QTimer m_timer;
};

// Opens every notice as a frmNotice of its own.
class QtNoticeSink final : public NoticeSink {
public:
    void showNotice(const Notice &notice) override;
};

} // namespace kv
