#include "launcher/gui/vbSysTray.h"

#include <QCursor>
#include <QDir>
#include <QIcon>
#include <QImageReader>
#include <QPixmap>

namespace kv {

SysTray::SysTray(Launcher &launcher, QObject *parent)
    : QObject(parent), m_launcher(launcher)
{
    // PNGs at several sizes: unlike an SVG they need no Qt plugin to show.
    // Read as PNG outright: a reader left to guess the format loads every
    // image plugin there is and keeps them for the launcher's whole life.
    QIcon icon;
    for (const QFileInfo &png : QDir(QStringLiteral(":/icons")).entryInfoList({QStringLiteral("*.png")})) {
        QImageReader reader(png.filePath(), "png");
        reader.setAutoDetectImageFormat(false);
        const QImage image = reader.read();
        if (!image.isNull())
            icon.addPixmap(QPixmap::fromImage(image));
    }
    m_icon.setIcon(icon);
    m_icon.setToolTip(QLatin1String(kToolTip));
    // Both buttons open the menu; it is not set as the context menu, or the
    // right button would get Qt's own placement and the left one none.
    connect(&m_icon, &QSystemTrayIcon::activated, this, &SysTray::onActivated);
    m_trayWatch.setInterval(kTrayWatchMs);
    connect(&m_trayWatch, &QTimer::timeout, this, &SysTray::watchForTray);
    m_launcher.state.windows.tray = this;
}

SysTray::~SysTray()
{
    m_launcher.state.windows.tray = nullptr;
}

QMenu &SysTray::popupMenu()
{
    if (!mnuPopup) {
        mnuPopup = std::make_unique<QMenu>(QStringLiteral("Popup"));
        QAction *mnuAbout = mnuPopup->addAction(QStringLiteral("About"));
        mnuAbout->setEnabled(false);
        QAction *mnuSep1 = mnuPopup->addSeparator();
        mnuSep1->setEnabled(false);
        connect(mnuPopup->addAction(QStringLiteral("Manage Programs")), &QAction::triggered, this,
                [this] { m_launcher.menu.mnuManageClick(); });
        connect(mnuPopup->addAction(QStringLiteral("Launcher Settings")), &QAction::triggered, this,
                [this] { m_launcher.menu.mnuDBClick(); });
        connect(mnuPopup->addAction(QStringLiteral("Update on Restart")), &QAction::triggered, this,
                [this] { m_launcher.menu.mnuUpdateClick(); });
        mnuExit = mnuPopup->addAction(QStringLiteral("Exit"));
        mnuExit->setEnabled(m_exitAvailable);
        connect(mnuExit, &QAction::triggered, this, [this] { m_launcher.menu.mnuExitClick(); });
    }
    return *mnuPopup;
}

void SysTray::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context)
        popupMenu().popup(QCursor::pos());
}

void SysTray::addTrayIcon()
{
    // Shown even without a tray: the launcher still supervises and prints,
    // and the icon (with the menu, the only way to the settings and the
    // program manager) goes into a tray host that starts later, such as a
    // panel that comes up after the launcher's autostart.
    m_icon.show();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (!m_toldNoTray) {
            m_toldNoTray = true;
            m_launcher.eventLog().warning(QStringLiteral("no system tray is available; running without an icon"));
        }
        m_trayWatch.start();
    }
}

void SysTray::watchForTray()
{
    if (!m_icon.isVisible()) {
        m_trayWatch.stop();
        return;
    }
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    m_trayWatch.stop();
    // Qt puts the icon into an X tray that appears later by itself; where
    // nothing placed it, showing it again makes the platform look afresh.
    if (m_icon.geometry().isEmpty()) {
        m_icon.hide();
        m_icon.show();
    }
    m_launcher.eventLog().notice(QStringLiteral("a system tray is available now; the icon is shown"));
}

void SysTray::removeTrayIcon()
{
    m_trayWatch.stop();
    if (mnuPopup)
        mnuPopup->hide();
    m_icon.hide();
}

void SysTray::setExitAvailable(bool available)
{
    m_exitAvailable = available;
    if (mnuExit)
        mnuExit->setEnabled(available);
}

} // namespace kv
