#include "config/frmConfigLogic.h"

#include <QDateTime>
#include <QRandomGenerator>

#include "station/odbc.h"
#include "station/vbDatabase.h"
#include "core/helpers.h"
#include "core/textconv.h"
#include "shared/conffile.h"
#include "shared/confsyntax.h"
#include "shared/stationid.h"

#include <QFile>

#include <cmath>
#include <string>

namespace kv {

namespace {

// Each test print is a job of its own name: the escpos backend takes a job
// with a name and bytes it already completed for the same job sent again,
// and would print nothing of a second test print that had the first's name.
QString testDocName()
{
    return QStringLiteral("Korvantis POS Test ") +
           QString::number(QDateTime::currentMSecsSinceEpoch(), 36) + QLatin1Char('-') +
           QString::number(QRandomGenerator::global()->generate() & 0xffff, 16);
}

std::string line(std::string_view key, const QString &value)
{
    return confsyntax::formatLine(key, text::toUtf8(value));
}

} // namespace

namespace config {

std::optional<double> parseStationId(const QString &text, const QLocale &locale)
{
    bool ok = false;
    const double value = locale.toDouble(text, &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<qint16> roundStationId(double value)
{
    // nearbyint follows the current rounding mode, which nothing here
    // changes from round-half-to-even.
    const double rounded = std::nearbyint(value);
    if (rounded < 1 || rounded > stationid::kMax)
        return std::nullopt;
    return qint16(rounded);
}

} // namespace config

FrmConfigLogic::FrmConfigLogic(FrmConfigView &view, LauncherSettings &shellConf, ProgramsSource programs,
                               platform::Spooler &spooler, EscposChannel &channel, Prompter &prompter,
                               const AppContext &ctx, SettingsDialog::Hooks hooks, QLocale locale)
    : m_view(view), m_shellConf(shellConf), m_programs(std::move(programs)), m_spooler(spooler),
      m_channel(channel), m_prompter(prompter), m_ctx(ctx), m_hooks(std::move(hooks)), m_locale(std::move(locale))
{
}

void FrmConfigLogic::tell(const QString &text, MsgIcon icon)
{
    MessageBox box;
    box.text = text;
    box.title = QStringLiteral("Korvantis Launcher");
    box.buttons = MsgButtons::OK;
    box.icon = icon;
    box.systemModal = true;
    m_prompter.messageBox(box);
}

void FrmConfigLogic::formLoad()
{
    using T = FrmConfigView::Text;
    m_connectionOk = false;
    m_view.setText(T::Server, m_shellConf.db_host);
    m_view.setText(T::Database, m_shellConf.db_name);
    m_view.setText(T::Username, m_shellConf.db_username);
    m_view.setText(T::Password, m_shellConf.db_password);
    m_view.setText(T::StationID, m_shellConf.stationid);

    const QStringList list = escpos::getPrinterList(m_spooler);
    m_view.clearPrinters();
    if (list.size() <= 1) {
        m_shellConf.esc_printer = QStringLiteral("none");
        m_view.setEscPosChecked(false);
        m_view.setEscPosEnabled(false);
        m_view.setPrinterGroupEnabled(false);
    } else {
        fillPrinters(list);
        m_view.setEscPosEnabled(true);
        if (!m_shellConf.esc_printer.isEmpty() && m_shellConf.esc_printer != QLatin1String("none")) {
            m_view.setEscPosChecked(true);
            chkEscPosClick();
        } else {
            m_view.setEscPosChecked(false);
            m_view.setPrinterGroupEnabled(false);
        }
    }
    cmdTestConnClick();
}

void FrmConfigLogic::fillPrinters(const QStringList &list)
{
    // The last element is the empty end marker. The configured printer wins
    // when it is still installed; the first one otherwise.
    for (qsizetype i = 0; i + 1 < list.size(); ++i) {
        m_view.addPrinter(list[i]);
        if (i == 0 || list[i] == m_shellConf.esc_printer)
            m_view.selectPrinter(int(i));
    }
}

void FrmConfigLogic::warnOfOpos()
{
    if (!m_programs)
        return;
    std::optional<std::vector<ProgramFacts>> programs;
    try {
        programs = m_programs();
    } catch (const std::exception &) {
        // A list that cannot be read warns of nothing; the box stays checked.
        return;
    }
    if (!programs)
        return;
    // Entry 0 is the front-end, which never drives the printer itself.
    for (std::size_t i = 1; i < programs->size(); ++i) {
        const ProgramFacts &p = (*programs)[i];
        if (p.executable.contains(QLatin1String("opos"), Qt::CaseInsensitive) && (p.running || p.runOnStart)) {
            tell(QStringLiteral("EscPos and OPos cannot both be enabled at the same time. Disable one of these "
                                "before using the Korvantis POS system."),
                 MsgIcon::Critical);
            return;
        }
    }
}

void FrmConfigLogic::chkEscPosClick()
{
    if (!m_view.escPosChecked()) {
        m_view.setPrinterGroupEnabled(false);
        return;
    }
    warnOfOpos();
    m_view.setPrinterGroupEnabled(true);
    m_view.clearPrinters();
    fillPrinters(escpos::getPrinterList(m_spooler));
}

void FrmConfigLogic::cmdTestConnClick()
{
    using T = FrmConfigView::Text;
    BusyCursor busy(m_prompter);
    QString status;
    m_connectionOk = false;
    try {
        odbc::Connection connection;
        connection.setStatementDeadlineMs(kTestStatementDeadlineMs);
        connection.open(database::buildConnectionText(m_view.text(T::Server), m_view.text(T::Database),
                                                      m_view.text(T::Username), m_view.text(T::Password)));
        if (database::readSchemaVersion(connection) < database::kLowestSchemaVersion) {
            status = QStringLiteral("Old database");
        } else {
            status = QStringLiteral("Connection OK");
            m_connectionOk = true;
        }
    } catch (const odbc::Error &e) {
        status = database::connectionFailureStatus(e);
    } catch (const std::exception &) {
        status = database::connectionFailureText(database::ConnectionFailure::ConnectionError);
    }
    m_view.setText(T::Status, status);
}

bool FrmConfigLogic::openForTest(const QString &what, QString &printer)
{
    if (m_channel.escposOpen(testDocName(), printer))
        return true;
    const QString why = text::fromUtf8(m_spooler.lastError());
    if (printer.isEmpty())
        logEvent(what + QStringLiteral(" not sent: no printer is chosen and there is no default printer"));
    else
        logEvent(QStringLiteral("%1 not sent: the printer \"%2\" could not be opened (%3)")
                     .arg(what, printer, why.isEmpty() ? QStringLiteral("no reason given") : why));
    return false;
}

void FrmConfigLogic::closeForTest(const QString &what, const QString &printer)
{
    // Read while the printer is open: why it may not print what it was sent.
    const QStringList reasons = escpos::reasonsInWords(m_channel.printerReasons());
    const bool taken = m_channel.escposClose();
    QString event;
    if (taken) {
        event = QStringLiteral("%1 sent to the printer \"%2\", job %3 taken by the print server")
                    .arg(what, printer)
                    .arg(m_channel.lastJob().id);
    } else {
        const QString why = text::fromUtf8(m_spooler.lastError());
        // A job the server kept held never prints; the next start cancels it.
        event = QStringLiteral("%1 to the printer \"%2\" not printed: the print server did not take the job%3")
                    .arg(what, printer, why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why));
    }
    if (!reasons.isEmpty())
        event += QStringLiteral("; the printer reports: ") + reasons.join(QStringLiteral(", "));
    logEvent(event);
}

void FrmConfigLogic::cmdTestPrintClick()
{
    const QString what = QStringLiteral("test print");
    QString printer = m_view.selectedPrinter();
    if (!openForTest(what, printer)) {
        tell(QStringLiteral("Could not connect to the printer."), MsgIcon::Critical);
        return;
    }
    const QChar lf(10);
    m_channel.escposStartPage();
    m_channel.escposSelectReceipt();
    m_channel.escposWrite(lf + QStringLiteral("This is a test print.") + lf +
                          QStringLiteral("If you can read this then the printer is working correctly and should "
                                         "work for receipt printing.") +
                          lf +
                          QStringLiteral("At the end of this printout the receipt printer should automatically cut "
                                         "the paper if it has this functionality.") +
                          lf + lf + lf);
    m_channel.escposCut();
    m_channel.escposEndPage();
    closeForTest(what, printer);
}

void FrmConfigLogic::cmdTestDrawerClick()
{
    const QString what = QStringLiteral("test drawer pulse");
    QString printer = m_view.selectedPrinter();
    if (!openForTest(what, printer)) {
        tell(QStringLiteral("Could not connect to the printer to open the drawer."), MsgIcon::Critical);
        return;
    }
    m_channel.escposStartPage();
    m_channel.escposSelectReceipt();
    m_channel.escposOpenDrawer();
    m_channel.escposEndPage();
    closeForTest(what, printer);
}

bool FrmConfigLogic::save(std::optional<qint16> stationId)
{
    using T = FrmConfigView::Text;
    const QString confPath = m_ctx.appPath() + QStringLiteral("shell.conf");

    // Only the administrative keys survive from the old file; the launcher
    // never uses them, the front-end's tools do.
    QString userAdmin, passwordAdmin;
    if (fileExists(confPath)) {
        // The shared reader, so a file carried over from a Windows till keeps
        // its Windows-1252 admin password through the save.
        const conffile::Content content = conffile::read(text::toUtf8(confPath));
        if (!content.ok())
            return false;
        for (const auto &e : confsyntax::parse(content.text)) {
            if (e.key == "db_username_admin")
                userAdmin = text::fromUtf8(e.value);
            else if (e.key == "db_password_admin")
                passwordAdmin = text::fromUtf8(e.value);
        }
    }

    std::string out;
    out += line("db_host", m_view.text(T::Server));
    out += line("db_name", m_view.text(T::Database));
    out += line("db_username", m_view.text(T::Username));
    out += line("db_password", m_view.text(T::Password));
    out += line("esc_printer", m_view.escPosChecked() ? m_view.selectedPrinter() : QStringLiteral("none"));
    if (stationId) {
        const QString plain = QString::number(*stationId);
        m_view.setText(T::StationID, plain);
        out += line("stationid", plain);
    }
    out += line("launcher", m_ctx.launcherName);
    if (!passwordAdmin.isEmpty())
        out += line("db_password_admin", passwordAdmin);
    if (!userAdmin.isEmpty())
        out += line("db_username_admin", userAdmin);

    // Whole or not at all: a failed write leaves the old file as it was.
    return config::writePrivateFile(confPath, QByteArray::fromStdString(out));
}

void FrmConfigLogic::cmdOkClick()
{
    using T = FrmConfigView::Text;
    const QString typedId = m_view.text(T::StationID);
    std::optional<qint16> stationId;
    if (!typedId.isEmpty()) {
        const std::optional<double> value = config::parseStationId(typedId, m_locale);
        if (!value) {
            tell(QStringLiteral("The station id provided is invalid. The station id needs to be a number."),
                 MsgIcon::Critical);
            return;
        }
        stationId = config::roundStationId(*value);
        if (!stationId) {
            tell(QStringLiteral("The station id provided is invalid. The station id needs to be a number from 1 "
                                "to %1.")
                     .arg(stationid::kMax),
                 MsgIcon::Critical);
            return;
        }
    }
    cmdTestConnClick();
    if (!m_connectionOk) {
        tell(QStringLiteral("The current database connection settings are incorrect."), MsgIcon::Critical);
        return;
    }
    if (!save(stationId)) {
        logEvent(QStringLiteral("settings not saved: shell.conf cannot be written in %1").arg(m_ctx.appDir));
        tell(QStringLiteral("You do not have sufficient rights to modify these settings."), MsgIcon::Information);
        return;
    }
    logEvent(QStringLiteral("settings saved to shell.conf: server %1, database %2, user %3, station %4, %5")
                 .arg(m_view.text(T::Server), m_view.text(T::Database), m_view.text(T::Username),
                      stationId ? QString::number(*stationId) : QStringLiteral("none (a new one is assigned)"),
                      m_view.escPosChecked() ? QStringLiteral("receipt printer \"%1\"").arg(m_view.selectedPrinter())
                                             : QStringLiteral("no receipt printer")));
    m_view.hideForm();
    if (m_hooks.launcherRunning && m_hooks.launcherRunning()) {
        // The running launcher keeps the settings it started with.
        tell(QStringLiteral("Restart required for changes to take effect."), MsgIcon::Information);
    } else if (m_hooks.runMain) {
        m_hooks.runMain();
    }
}

void FrmConfigLogic::logEvent(const QString &event)
{
    if (m_hooks.logEvent)
        m_hooks.logEvent(event);
}

void FrmConfigLogic::cmdCancelClick()
{
    if (!(m_hooks.launcherRunning && m_hooks.launcherRunning()) && m_hooks.runMain)
        m_hooks.runMain();
    m_view.unloadForm();
}

} // namespace kv
