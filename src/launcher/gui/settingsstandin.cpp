#include "launcher/gui/settingsstandin.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kv {

SettingsDialogStandIn::SettingsDialogStandIn(Hooks hooks) : m_hooks(std::move(hooks)) {}

SettingsDialogStandIn::~SettingsDialogStandIn()
{
    delete m_window;
}

void SettingsDialogStandIn::showDialog()
{
    // This window cannot change anything: from the tray menu of a running
    // launcher it has nothing to offer.
    if (m_hooks.launcherRunning && m_hooks.launcherRunning())
        return;
    // Start-up shows this while no other window exists; Qt would otherwise
    // end the program when a message box over it closes.
    QApplication::setQuitOnLastWindowClosed(false);
    m_chosen = false;
    if (!m_window) {
        auto *window = new QDialog;
        window->setWindowTitle(QStringLiteral("Korvantis Launcher Settings"));
        auto *layout = new QVBoxLayout(window);
        layout->addWidget(new QLabel(QStringLiteral("Edit shell.conf beside the launcher, then press OK to "
                                                    "start again."),
                                     window));
        auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, window);
        layout->addWidget(buttons);
        QObject::connect(buttons->button(QDialogButtonBox::Ok), &QPushButton::clicked, window,
                         [this] { choose(); });
        QObject::connect(buttons->button(QDialogButtonBox::Cancel), &QPushButton::clicked, window,
                         [this] { choose(); });
        // Escape and the title bar's close button come here.
        QObject::connect(window, &QDialog::rejected, window, [this] { closedOtherwise(); });
        m_window = window;
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void SettingsDialogStandIn::unloadDialog()
{
    if (!m_window)
        return;
    // Start-up unloads the dialog from inside the dialog's own button
    // handler: the window goes once that handler has returned.
    QDialog *window = m_window;
    m_window = nullptr;
    m_chosen = true;
    window->hide();
    window->deleteLater();
}

void SettingsDialogStandIn::choose()
{
    m_chosen = true;
    if (m_window)
        m_window->hide();
    if (m_hooks.launcherRunning && m_hooks.launcherRunning())
        return;
    if (m_hooks.runMain)
        m_hooks.runMain();
}

void SettingsDialogStandIn::closedOtherwise()
{
    if (m_chosen)
        return;
    m_chosen = true;
    if (m_hooks.closedWithoutChoice)
        m_hooks.closedWithoutChoice();
}

} // namespace kv
