// What the settings dialog does, without the widgets: the form drives it
// through FrmConfigView, so every rule runs and is tested without a display.
#pragma once

#include "station/vbConfig.h"
#include "core/appcontext.h"
#include "core/prompter.h"
#include "core/windowsapi.h"
#include "escpos/vbEscpos.h"
#include "platform/spooler.h"

#include <QLocale>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace kv {

// The dialog's controls as the logic reads and sets them. Setting a control
// never counts as the person's click on it.
class FrmConfigView {
public:
    enum class Text { Server, Database, Username, Password, StationID, Status };

    virtual ~FrmConfigView() = default;
    virtual QString text(Text box) const = 0;
    virtual void setText(Text box, const QString &text) = 0;

    virtual bool escPosChecked() const = 0;
    virtual void setEscPosChecked(bool checked) = 0;
    virtual void setEscPosEnabled(bool enabled) = 0;
    // lblPrinter, cmbPrinter, cmdTestPrint and cmdTestDrawer, always together.
    virtual void setPrinterGroupEnabled(bool enabled) = 0;

    virtual void clearPrinters() = 0;
    virtual void addPrinter(const QString &name) = 0;
    virtual void selectPrinter(int index) = 0;
    // The selected item's text; "" when the list is empty.
    virtual QString selectedPrinter() const = 0;

    // OK: hidden but kept, texts and all, for the next opening.
    virtual void hideForm() = 0;
    // Cancel: gone; the next opening loads afresh.
    virtual void unloadForm() = 0;
};

// What the OPOS check needs of one managed program.
struct ProgramFacts {
    QString executable;
    bool running = false;
    bool runOnStart = false;
};
// The managed programs, entry 0 (the front-end) included; nullopt while
// start-up has not loaded them yet.
using ProgramsSource = std::function<std::optional<std::vector<ProgramFacts>>()>;

class FrmConfigLogic {
public:
    // The connection test must never hold the dialog long: the ODBC layer's
    // login timeout bounds the open, this the schema query.
    static constexpr int kTestStatementDeadlineMs = 5000;

    FrmConfigLogic(FrmConfigView &view, LauncherSettings &shellConf, ProgramsSource programs,
                   platform::Spooler &spooler, EscposChannel &channel, Prompter &prompter, const AppContext &ctx,
                   SettingsDialog::Hooks hooks, QLocale locale = QLocale::system());

    void formLoad();
    void chkEscPosClick();
    void cmdTestConnClick();
    void cmdTestPrintClick();
    void cmdTestDrawerClick();
    void cmdOkClick();
    void cmdCancelClick();

    bool connectionOk() const { return m_connectionOk; }

private:
    void logEvent(const QString &event);
    // The test buttons' job: opened (printer "" means the default, whose
    // name is written back), then closed, each outcome logged as what was
    // sent to which printer or why not.
    bool openForTest(const QString &what, QString &printer);
    void closeForTest(const QString &what, const QString &printer);
    void fillPrinters(const QStringList &list);
    void warnOfOpos();
    // stationId: the id to save, none for an empty box.
    bool save(std::optional<qint16> stationId);
    void tell(const QString &text, MsgIcon icon);

    FrmConfigView &m_view;
    LauncherSettings &m_shellConf;
    ProgramsSource m_programs;
    platform::Spooler &m_spooler;
    EscposChannel &m_channel;
    Prompter &m_prompter;
    const AppContext &m_ctx;
    SettingsDialog::Hooks m_hooks;
    QLocale m_locale;
    bool m_connectionOk = false;
};

namespace config {

// A station id as typed: nullopt when it is not a number in `locale` (blanks
// around it, group separators and exponents allowed; infinities and NaN are
// not numbers). Otherwise the value, not yet rounded.
std::optional<double> parseStationId(const QString &text, const QLocale &locale);

// Rounded to the nearest whole number, halves to the even one; nullopt
// when that is not a station id (1 to 32767).
std::optional<qint16> roundStationId(double value);

} // namespace config
} // namespace kv
