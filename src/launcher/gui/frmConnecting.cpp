#include "launcher/gui/frmConnecting.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

namespace kv {

namespace {

// Only what the window itself needs: timers, painting, the display's
// answers and the system's request to end. Nothing can be clicked here.
void letItPaint()
{
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

} // namespace

frmConnecting::frmConnecting(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("frmConnecting"));
    setWindowTitle(QStringLiteral("Korvantis Launcher"));
    // A minimum of 0 and a maximum of 0 make the bar say "busy", not "how far".
    m_busy.setRange(0, 0);
    m_busy.setTextVisible(false);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(&m_label);
    layout->addWidget(&m_busy);
    setCursor(Qt::WaitCursor);
    setMinimumWidth(320);
}

void frmConnecting::showWaiting(const QString &text)
{
    m_label.setText(text);
    if (!isVisible()) {
        adjustSize();
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
        show();
        raise();
    }
    // The checks that follow block this thread for seconds at a time: the
    // window must be on screen and painted before they start, or the person
    // sees nothing until they end.
    QElapsedTimer mapping;
    mapping.start();
    while (!(windowHandle() && windowHandle()->isExposed()) && mapping.elapsed() < kMapWaitMs)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
    repaint();
    letItPaint();
}

void frmConnecting::keepShown()
{
    letItPaint();
}

void frmConnecting::hideWaiting()
{
    hide();
    letItPaint();
}

} // namespace kv
