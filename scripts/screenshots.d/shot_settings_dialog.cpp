// Shows the settings dialog as a running launcher opens it from the tray, on
// the database and print server named in the environment (the fixtures'
// pg.env and cups.env), for scripts/screenshots. Runs until it is ended.
#include "config/gui/qtsettingsdialog.h"
#include "core/gui/qtprompter.h"
#include "platform/posix/cupsspooler.h"

#include <QApplication>

#include <cstdlib>

namespace {

QString env(const char *name) { return QString::fromLocal8Bit(std::getenv(name)); }

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    kv::AppContext ctx;
    ctx.appDir = env("KV_SHOT_APPDIR");
    ctx.launcherName = QStringLiteral("korvantis-launcher");

    kv::LauncherSettings shellConf;
    shellConf.db_host = env("KV_DB_HOST");
    shellConf.db_name = env("KV_DB_NAME");
    shellConf.db_username = env("KV_DB_USER");
    shellConf.db_password = env("KV_DB_PASSWORD");
    shellConf.stationid = QStringLiteral("7");
    shellConf.esc_printer = QStringLiteral("KV_Receipt");

    kv::platform::CupsSpooler spooler;
    kv::EscposChannel channel(spooler);
    kv::QtPrompter prompter;
    kv::SettingsDialog::Hooks hooks;
    hooks.runMain = [] {};
    hooks.launcherRunning = [] { return true; };
    hooks.closedWithoutChoice = [] { QApplication::quit(); };
    kv::QtSettingsDialog dialog(hooks, shellConf, [] { return nullptr; }, spooler, channel, prompter, ctx);
    dialog.showDialog();
    return app.exec();
}
