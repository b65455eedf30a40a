#include "config/gui/qtsettingsdialog.h"

#include "config/gui/frmConfig.h"

namespace kv {

QtSettingsDialog::QtSettingsDialog(Hooks hooks, LauncherSettings &shellConf, ManagedProgramsSource managedPrograms,
                                   platform::Spooler &spooler, EscposChannel &channel, Prompter &prompter,
                                   const AppContext &ctx)
    : m_hooks(std::move(hooks)), m_shellConf(shellConf), m_managedPrograms(std::move(managedPrograms)),
      m_spooler(spooler), m_channel(channel), m_prompter(prompter), m_ctx(ctx)
{
}

QtSettingsDialog::~QtSettingsDialog() { delete m_form.data(); }

frmConfig *QtSettingsDialog::form() const { return m_form.data(); }

void QtSettingsDialog::showDialog()
{
    if (!m_form) {
        ProgramsSource programs = [source = m_managedPrograms]() -> std::optional<std::vector<ProgramFacts>> {
            const std::vector<ManagedProgram> *list = source ? source() : nullptr;
            if (!list)
                return std::nullopt;
            std::vector<ProgramFacts> facts;
            for (const ManagedProgram &p : *list)
                facts.push_back({p.executable, p.process && p.process->pReady, p.runOnStart});
            return facts;
        };
        frmConfig::Owner owner;
        owner.unload = [this](frmConfig *f) { unload(f); };
        owner.closedByUser = [this](frmConfig *f) {
            const bool current = f == m_form;
            unload(f);
            // While it is start-up's only window, closing it ends the launcher.
            if (current && !(m_hooks.launcherRunning && m_hooks.launcherRunning()) && m_hooks.closedWithoutChoice)
                m_hooks.closedWithoutChoice();
        };
        m_form = new frmConfig(std::move(owner), m_shellConf, std::move(programs), m_spooler, m_channel, m_prompter,
                               m_ctx, m_hooks);
        m_form->load();
    }
    if (!m_form)
        return;
    m_form->show();
    m_form->raise();
    m_form->activateWindow();
}

void QtSettingsDialog::unloadDialog() { unload(m_form.data()); }

void QtSettingsDialog::unload(frmConfig *form)
{
    // Only the instance still loaded: an older one that asks late (its Cancel
    // ran start-up, which already loaded a new one) must not take the new one.
    if (!form || form != m_form)
        return;
    m_form = nullptr;
    form->hide();
    // Later, not now: this may run inside one of the form's own handlers.
    form->deleteLater();
}

} // namespace kv
