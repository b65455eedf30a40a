// The debug log: the watchdog's lines, newest first, in a window the launcher
// never shows. (What an admin reads goes to the event log.)
#pragma once

#include "core/noticesink.h"

#include <QStringList>
#include <QWidget>

#include <memory>

namespace Ui {
class debugForm;
}
class QPlainTextEdit;

namespace kv {

class debugForm final : public QWidget {
    Q_OBJECT
public:
    explicit debugForm(QWidget *parent = nullptr);
    ~debugForm() override;

    QPlainTextEdit *debugText() const;

private:
    std::unique_ptr<Ui::debugForm> m_ui;
};

class DebugLog final : public LogSink {
public:
    // A launcher that runs for months logs a line every eleven seconds.
    static constexpr int kMaxLines = 1000;

    // Made and destroyed while the QApplication exists.
    DebugLog();
    ~DebugLog() override;

    void logLine(const QString &line) override;

    // Made at the first call and filled with the lines so far: a text box
    // that nobody sees is not laid out anew every eleven seconds.
    debugForm *form();

private:
    void fill();

    std::unique_ptr<debugForm> m_form;
    QStringList m_lines;
};

} // namespace kv
