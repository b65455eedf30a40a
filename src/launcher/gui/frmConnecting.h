// The small window start-up shows while it waits for the database: a line
// of text and a busy bar, above other windows, with the busy pointer.
#pragma once

#include "core/windowsapi.h"

#include <QLabel>
#include <QProgressBar>
#include <QWidget>

namespace kv {

class frmConnecting final : public QWidget, public WaitingWindow {
public:
    // How long showWaiting lets the display map the window before it
    // paints and returns regardless.
    static constexpr int kMapWaitMs = 1000;

    explicit frmConnecting(QWidget *parent = nullptr);

    void showWaiting(const QString &text) override;
    void keepShown() override;
    void hideWaiting() override;

private:
    QLabel m_label;
    QProgressBar m_busy;
};

} // namespace kv
