// TEMPORARY: stand-ins for the database watchdog and the update procedure
// until their real classes are merged in. They do the least that keeps the
// launcher usable: the watchdog only reports, and a requested update is
// left in place for the real procedure.
#pragma once

#include "config/vbWatchdogApi.h"
#include "core/noticesink.h"
#include "platform/process.h"
#include "programs/vbKill.h"

namespace kv::interim {

class InterimWatchdog final : public DatabaseWatchdog {
public:
    qint32 testDatabaseConnection(const LauncherSettings &) override { return m_up ? 0 : 1; }
    void setDbConnectionUp(bool up) override { m_up = up; }

private:
    bool m_up = false;
};

class InterimUpdateProcedure final : public UpdateProcedure {
public:
    Outcome runUpdate() override { return Outcome::Continue; }
    void requestUpdate() override {}
};

} // namespace kv::interim

namespace kv {

// "taskkill /f /im NAME" on this machine's processes.
class ProcessImageKiller final : public ImageKiller {
public:
    int killImage(const QString &imageName) override
    {
        return vbKill::killImage(platform::systemProcessTable(), imageName);
    }
};

} // namespace kv
