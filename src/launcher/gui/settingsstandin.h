// A plain settings window for start-up to wait on until the full settings
// dialog is there: it only offers OK and Cancel, both of which run start-up
// again; closing it any other way, while it is the launcher's only window,
// ends the launcher. While the launcher runs it does not show at all.
#pragma once

#include "core/windowsapi.h"

#include <QPointer>

#include <QDialog>

namespace kv {

class SettingsDialogStandIn final : public SettingsDialog {
public:
    explicit SettingsDialogStandIn(Hooks hooks);
    ~SettingsDialogStandIn() override;

    void showDialog() override;
    void unloadDialog() override;

    // For tests: the window while it is loaded.
    QDialog *window() const { return m_window; }

private:
    void choose();
    void closedOtherwise();

    Hooks m_hooks;
    QPointer<QDialog> m_window;
    bool m_chosen = false;
};

} // namespace kv
