#include "launcher/gui/vbSysTray.h"

#include <QCursor>
#include <QDir>
#include <QIcon>

#include <cstdio>

namespace kv {

SysTray::SysTray(Launcher &launcher, QObject *parent)
    : QObject(parent), m_launcher(launcher), mnuPopup(QStringLiteral("Popup"))
{
    QAction *mnuAbout = mnuPopup.addAction(QStringLiteral("About"));
    mnuAbout->setEnabled(false);
    QAction *mnuSep1 = mnuPopup.addSeparator();
    mnuSep1->setEnabled(false);
    connect(mnuPopup.addAction(QStringLiteral("Manage Programs")), &QAction::triggered, this,
            [this] { m_launcher.mnuManageClick(); });
    connect(mnuPopup.addAction(QStringLiteral("Launcher Settings")), &QAction::triggered, this,
            [this] { m_launcher.mnuDBClick(); });
    connect(mnuPopup.addAction(QStringLiteral("Update on Restart")), &QAction::triggered, this,
            [this] { m_launcher.mnuUpdateClick(); });
    mnuExit = mnuPopup.addAction(QStringLiteral("Exit"));
    connect(mnuExit, &QAction::triggered, this, [this] { m_launcher.mnuExitClick(); });

    // PNGs at several sizes: unlike an SVG they need no Qt plugin to show.
    QIcon icon;
    for (const QFileInfo &png : QDir(QStringLiteral(":/icons")).entryInfoList({QStringLiteral("*.png")}))
        icon.addFile(png.filePath());
    m_icon.setIcon(icon);
    m_icon.setToolTip(QLatin1String(kToolTip));
    // Both buttons open the menu; it is not set as the context menu, or the
    // right button would get Qt's own placement and the left one none.
    connect(&m_icon, &QSystemTrayIcon::activated, this, &SysTray::onActivated);
    m_launcher.setTrayIcon(this);
}

SysTray::~SysTray()
{
    m_launcher.setTrayIcon(nullptr);
}

void SysTray::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context)
        mnuPopup.popup(QCursor::pos());
}

void SysTray::addTrayIcon()
{
    // Without a tray the launcher still supervises and prints; the person
    // just has no menu. A tray host that starts later still gets the icon.
    if (!QSystemTrayIcon::isSystemTrayAvailable() && !m_toldNoTray) {
        m_toldNoTray = true;
        std::fputs("Korvantis Launcher: no system tray is available; running without an icon.\n", stderr);
        std::fflush(stderr);
    }
    m_icon.show();
}

void SysTray::removeTrayIcon()
{
    mnuPopup.hide();
    m_icon.hide();
}

void SysTray::setExitAvailable(bool available)
{
    mnuExit->setEnabled(available);
}

} // namespace kv
