#include "core/gui/debugForm.h"

#include "ui_debugForm.h"

#include <QDateTime>

#include <cstdio>

namespace kv {

debugForm::debugForm(QWidget *parent) : QWidget(parent), m_ui(std::make_unique<Ui::debugForm>())
{
    m_ui->setupUi(this);
    setAttribute(Qt::WA_QuitOnClose, false);
}

debugForm::~debugForm() = default;

QPlainTextEdit *debugForm::debugText() const
{
    return m_ui->debugText;
}

DebugLog::DebugLog() = default;
DebugLog::~DebugLog() = default;

void DebugLog::logLine(const QString &line)
{
    const QByteArray out = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() + ' ' +
                           line.toUtf8() + '\n';
    std::fwrite(out.constData(), 1, size_t(out.size()), stderr);
    std::fflush(stderr);

    if (!m_form)
        m_form = std::make_unique<debugForm>();
    m_lines.prepend(line);
    if (m_lines.size() > kMaxLines)
        m_lines.resize(kMaxLines);
    m_form->debugText()->setPlainText(m_lines.join(QLatin1Char('\n')));
}

} // namespace kv
