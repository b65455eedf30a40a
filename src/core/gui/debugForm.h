// The debug log: the watchdog's lines, newest first, in a window the launcher
// never shows. Each line also goes to standard error with a timestamp, so
// the journal of a session manager keeps it.
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

    // Null until the first line.
    debugForm *form() const { return m_form.get(); }

private:
    std::unique_ptr<debugForm> m_form;
    QStringList m_lines;
};

} // namespace kv
