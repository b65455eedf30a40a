// The launcher's settings for the throwaway test cluster.
#pragma once

#include "station/vbConfig.h"
#include "testenv.h"

namespace testsupport {

inline kv::LauncherSettings clusterSettings()
{
    const testenv::Db db = testenv::database();
    kv::LauncherSettings s;
    s.db_host = db.host;
    s.db_name = db.name;
    s.db_username = db.user;
    s.db_password = db.password;
    return s;
}

} // namespace testsupport
