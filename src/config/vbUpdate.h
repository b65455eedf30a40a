// The update procedure: an empty "doupdate" in the application directory asks
// for an update; running it ends the system's programs, starts kvtupd.sh
// with no arguments and two credentials from the database in its
// environment (KV_TE_USERNAME, KV_TE_PASSWORD: config's te_username and
// te_password) and ends the launcher, whose files the script replaces.
#pragma once

#include "station/vbConfig.h"
#include "config/vbWatchdogApi.h"
#include "core/appcontext.h"
#include "core/eventlog.h"
#include "core/noticesink.h"
#include "core/prompter.h"

#include <QString>

#include <stdexcept>

namespace kv {

// A file step of the update failed (the marker could not be deleted, the
// script could not be started). Database failures arrive as odbc::Error;
// both are std::runtime_error.
class UpdateError : public std::runtime_error {
public:
    explicit UpdateError(const QString &description);
    const QString &description() const { return m_description; }

private:
    QString m_description;
};

class Updater final : public UpdateProcedure {
public:
    // shellConf is read when the update runs, for the connection.
    Updater(const AppContext &ctx, const LauncherSettings &shellConf, Prompter &prompter, ImageKiller &killer,
            EventLog &log);

    Outcome runUpdate() override;
    void requestUpdate() override;

    QString markerPath() const;
    QString scriptPath() const;

    // The programs that hold files the update replaces.
    static const QStringList &siblingImages();

private:
    const AppContext &m_ctx;
    const LauncherSettings &m_shellConf;
    Prompter &m_prompter;
    ImageKiller &m_killer;
    EventLog &m_log;
};

} // namespace kv
