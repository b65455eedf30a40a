#include "core/gui/debugForm.h"

#include "ui_debugForm.h"


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
    m_lines.prepend(line);
    if (m_lines.size() > kMaxLines)
        m_lines.resize(kMaxLines);
    if (m_form && m_form->isVisible())
        fill();
}

debugForm *DebugLog::form()
{
    if (!m_form)
        m_form = std::make_unique<debugForm>();
    fill();
    return m_form.get();
}

void DebugLog::fill()
{
    m_form->debugText()->setPlainText(m_lines.join(QLatin1Char('\n')));
}

} // namespace kv
