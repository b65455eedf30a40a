// The launcher's icon in the notification area and its menu. Left and right
// click open the same menu; the commands go to the launcher.
#pragma once

#include "launcher/vbMain.h"

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <memory>

namespace kv {

class SysTray final : public QObject, public TrayIcon {
    Q_OBJECT

public:
    static constexpr auto kToolTip = "Korvantis Launcher";
    // How often a launcher without a tray looks whether one has come.
    static constexpr int kTrayWatchMs = 2000;

    // Becomes the launcher's tray icon for its lifetime.
    explicit SysTray(Launcher &launcher, QObject *parent = nullptr);
    ~SysTray() override;

    void addTrayIcon() override;
    void removeTrayIcon() override;
    void setExitAvailable(bool available) override;

    // For tests: the icon, whose activation opens the menu.
    QSystemTrayIcon &trayIcon() { return m_icon; }

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    // Built at the first click: most days nobody opens it, and an idle
    // launcher then keeps none of the code that builds and draws menus.
    QMenu &popupMenu();
    void watchForTray();

    Launcher &m_launcher;
    std::unique_ptr<QMenu> mnuPopup;
    QSystemTrayIcon m_icon;
    QAction *mnuExit = nullptr;
    bool m_exitAvailable = true;
    bool m_toldNoTray = false;
    QTimer m_trayWatch;
};

} // namespace kv
