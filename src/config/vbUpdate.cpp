#include "config/vbUpdate.h"

#include "station/odbc.h"
#include "station/vbDatabase.h"
#include "core/helpers.h"
#include "core/textconv.h"
#include "platform/process.h"

#include <QFile>

namespace kv {

namespace {

const QString kTitle = QStringLiteral("Korvantis Launcher");

void inform(Prompter &prompter, const QString &text)
{
    MessageBox b;
    b.text = text;
    b.title = kTitle;
    b.buttons = MsgButtons::OK;
    b.icon = MsgIcon::Information;
    b.systemModal = true;
    // Nothing to answer: start-up (or the loop, behind a menu command) goes
    // on while the person reads it.
    prompter.showMessage(b);
}

} // namespace

UpdateError::UpdateError(const QString &description)
    : std::runtime_error(description.toStdString()), m_description(description)
{
}

Updater::Updater(const AppContext &ctx, const LauncherSettings &shellConf, Prompter &prompter, ImageKiller &killer,
                 EventLog &log)
    : m_ctx(ctx), m_shellConf(shellConf), m_prompter(prompter), m_killer(killer), m_log(log)
{
}

QString Updater::markerPath() const
{
    return m_ctx.appPath() + QStringLiteral("doupdate");
}

QString Updater::scriptPath() const
{
    return m_ctx.appPath() + QStringLiteral("kvtupd.sh");
}

const QStringList &Updater::siblingImages()
{
    static const QStringList names{QStringLiteral("blipnote.exe"), QStringLiteral("tallyward.exe"),
                                   QStringLiteral("dralfrontend.exe")};
    return names;
}

Outcome Updater::runUpdate()
{
    const QString marker = markerPath();
    if (!fileExists(marker))
        return Outcome::Continue;
    // Gone before anything else is tried: a failing update runs once per
    // request, never at every start.
    QFile markerFile(marker);
    if (!markerFile.remove())
        throw UpdateError(markerFile.errorString());
    if (!fileExists(scriptPath())) {
        m_log.warning(QStringLiteral("an update was asked for, but there is no %1").arg(scriptPath()));
        inform(m_prompter, QStringLiteral("No update script found. Starting normally."));
        return Outcome::Continue;
    }

    odbc::Connection connection;
    connection.open(database::buildConnectionText(m_shellConf.db_host, m_shellConf.db_name,
                                                  m_shellConf.db_username, m_shellConf.db_password));
    odbc::Recordset rs;
    rs.open(QStringLiteral("SELECT te_username, te_password FROM config;"), connection);
    for (const QString &name : siblingImages())
        m_killer.killImage(name);
    const QString user = rs.field(QStringLiteral("te_username")).toString();
    const QString password = rs.field(QStringLiteral("te_password")).toString();

    // In the script's environment, not on its command line, which every
    // user of the till can read (ps); each value whole, blanks and all. sh
    // runs the script even without its run bit.
    const std::vector<std::string> argv{"/bin/sh", text::toUtf8(scriptPath())};
    const std::vector<std::string> credentials{"KV_TE_USERNAME=" + text::toUtf8(user),
                                               "KV_TE_PASSWORD=" + text::toUtf8(password)};
    platform::SpawnError error;
    if (platform::startDetached(argv, text::toUtf8(m_ctx.appDir), error, credentials) < 0)
        throw UpdateError(QStringLiteral("kvtupd.sh could not be started: ") +
                          QString::fromStdString(error.description));
    // The credentials stay out of the log.
    m_log.notice(QStringLiteral("update: %1 started, the launcher ends for it").arg(scriptPath()));
    rs.close();
    connection.close();
    return Outcome::LauncherEnds;
}

void Updater::requestUpdate()
{
    QFile marker(markerPath());
    if (!marker.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_log.error(QStringLiteral("update not requested: %1: %2").arg(markerPath(), marker.errorString()));
        inform(m_prompter, QStringLiteral("You do not have sufficient rights to do an update. "
                                          "Please restart as Administrator."));
        return;
    }
    marker.close();
    // Quitting from the menu does not run it: only a start, or the question
    // after the front-end's end, does.
    m_log.notice(QStringLiteral("update requested: %1 written; it runs at the launcher's next start, or when the "
                                "front-end ends and the update is agreed to then")
                     .arg(markerPath()));
    inform(m_prompter, QStringLiteral("Korvantis needs to be closed for the update to begin."));
}

} // namespace kv
