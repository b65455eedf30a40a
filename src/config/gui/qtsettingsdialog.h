// The one settings dialog of the launcher, as start-up and the tray menu
// open it: loaded on first showing, kept while hidden, dropped on Cancel.
#pragma once

#include "config/frmConfigLogic.h"
#include "core/windowsapi.h"
#include "programs/vbManagedPrograms.h"

#include <QPointer>

#include <functional>
#include <vector>

namespace kv {

class frmConfig;

class QtSettingsDialog final : public SettingsDialog {
public:
    // The managed programs as start-up holds them: nullptr until loaded.
    using ManagedProgramsSource = std::function<const std::vector<ManagedProgram> *()>;

    QtSettingsDialog(Hooks hooks, LauncherSettings &shellConf, ManagedProgramsSource managedPrograms,
                     platform::Spooler &spooler, EscposChannel &channel, Prompter &prompter, const AppContext &ctx);
    ~QtSettingsDialog() override;

    void showDialog() override;
    void unloadDialog() override;

    // The loaded window, or nullptr.
    frmConfig *form() const;

private:
    void unload(frmConfig *form);

    Hooks m_hooks;
    LauncherSettings &m_shellConf;
    ManagedProgramsSource m_managedPrograms;
    platform::Spooler &m_spooler;
    EscposChannel &m_channel;
    Prompter &m_prompter;
    const AppContext &m_ctx;
    QPointer<frmConfig> m_form;
};

} // namespace kv
