#include "config/gui/frmConfig.h"

#include "ui_frmConfig.h"

#include <QCloseEvent>

namespace kv {

frmConfig::frmConfig(Owner owner, LauncherSettings &shellConf, ProgramsSource programs, platform::Spooler &spooler,
                     EscposChannel &channel, Prompter &prompter, const AppContext &ctx,
                     SettingsDialog::Hooks hooks, QWidget *parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::frmConfig>()), m_owner(std::move(owner))
{
    m_ui->setupUi(this);
    m_logic = std::make_unique<FrmConfigLogic>(*this, shellConf, std::move(programs), spooler, channel, prompter,
                                               ctx, std::move(hooks));
    // clicked, not toggled: only the person's click runs the handler, never
    // the logic setting the box.
    connect(m_ui->chkEscPos, &QCheckBox::clicked, this, [this] { m_logic->chkEscPosClick(); });
    connect(m_ui->cmdTestConn, &QPushButton::clicked, this, [this] { m_logic->cmdTestConnClick(); });
    connect(m_ui->cmdTestPrint, &QPushButton::clicked, this, [this] { m_logic->cmdTestPrintClick(); });
    connect(m_ui->cmdTestDrawer, &QPushButton::clicked, this, [this] { m_logic->cmdTestDrawerClick(); });
    connect(m_ui->cmdOK, &QPushButton::clicked, this, [this] { m_logic->cmdOkClick(); });
    connect(m_ui->cmdCancel, &QPushButton::clicked, this, [this] { m_logic->cmdCancelClick(); });
}

frmConfig::~frmConfig() = default;

void frmConfig::load() { m_logic->formLoad(); }

QString frmConfig::text(Text box) const
{
    switch (box) {
    case Text::Server: return m_ui->txtServer->text();
    case Text::Database: return m_ui->txtDatabase->text();
    case Text::Username: return m_ui->txtUsername->text();
    case Text::Password: return m_ui->txtPassword->text();
    case Text::StationID: return m_ui->txtStationID->text();
    case Text::Status: return m_ui->lblStatus->text();
    }
    return QString();
}

void frmConfig::setText(Text box, const QString &text)
{
    switch (box) {
    case Text::Server: m_ui->txtServer->setText(text); break;
    case Text::Database: m_ui->txtDatabase->setText(text); break;
    case Text::Username: m_ui->txtUsername->setText(text); break;
    case Text::Password: m_ui->txtPassword->setText(text); break;
    case Text::StationID: m_ui->txtStationID->setText(text); break;
    case Text::Status: m_ui->lblStatus->setText(text); break;
    }
}

bool frmConfig::escPosChecked() const { return m_ui->chkEscPos->isChecked(); }
void frmConfig::setEscPosChecked(bool checked) { m_ui->chkEscPos->setChecked(checked); }
void frmConfig::setEscPosEnabled(bool enabled) { m_ui->chkEscPos->setEnabled(enabled); }

void frmConfig::setPrinterGroupEnabled(bool enabled)
{
    for (QWidget *w : {static_cast<QWidget *>(m_ui->lblPrinter), static_cast<QWidget *>(m_ui->cmbPrinter),
                       static_cast<QWidget *>(m_ui->cmdTestPrint), static_cast<QWidget *>(m_ui->cmdTestDrawer)})
        w->setEnabled(enabled);
}

void frmConfig::clearPrinters() { m_ui->cmbPrinter->clear(); }
void frmConfig::addPrinter(const QString &name) { m_ui->cmbPrinter->addItem(name); }
void frmConfig::selectPrinter(int index) { m_ui->cmbPrinter->setCurrentIndex(index); }
QString frmConfig::selectedPrinter() const { return m_ui->cmbPrinter->currentText(); }

void frmConfig::hideForm() { hide(); }

void frmConfig::unloadForm()
{
    if (m_owner.unload)
        m_owner.unload(this);
}

void frmConfig::reject() { m_logic->cmdCancelClick(); }

void frmConfig::closeEvent(QCloseEvent *event)
{
    event->accept();
    if (m_owner.closedByUser)
        m_owner.closedByUser(this);
}

} // namespace kv
