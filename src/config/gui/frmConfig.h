// The settings dialog's window: the Designer form, driven by FrmConfigLogic.
#pragma once

#include "config/frmConfigLogic.h"

#include <QDialog>

#include <functional>
#include <memory>

namespace Ui {
class frmConfig;
}

namespace kv {

class frmConfig final : public QDialog, public FrmConfigView {
    Q_OBJECT
public:
    struct Owner {
        // Cancel: the owner drops this instance.
        std::function<void(frmConfig *)> unload;
        // The window was closed neither by OK nor by Cancel.
        std::function<void(frmConfig *)> closedByUser;
    };

    frmConfig(Owner owner, LauncherSettings &shellConf, ProgramsSource programs, platform::Spooler &spooler,
              EscposChannel &channel, Prompter &prompter, const AppContext &ctx, SettingsDialog::Hooks hooks,
              QWidget *parent = nullptr);
    ~frmConfig() override;

    // Form_Load: fills the controls from shellConf and tests the connection.
    void load();

    QString text(Text box) const override;
    void setText(Text box, const QString &text) override;
    bool escPosChecked() const override;
    void setEscPosChecked(bool checked) override;
    void setEscPosEnabled(bool enabled) override;
    void setPrinterGroupEnabled(bool enabled) override;
    void clearPrinters() override;
    void addPrinter(const QString &name) override;
    void selectPrinter(int index) override;
    QString selectedPrinter() const override;
    void hideForm() override;
    void unloadForm() override;

protected:
    // Escape means Cancel; the window's close button is neither OK nor Cancel.
    void reject() override;
    void closeEvent(QCloseEvent *event) override;

private:
    std::unique_ptr<Ui::frmConfig> m_ui;
    Owner m_owner;
    std::unique_ptr<FrmConfigLogic> m_logic;
};

} // namespace kv
