// Shared by the tests that reach the test cluster through the client library:
// a front-end configuration for it, and how long a call took.
#pragma once

#include "testenv.h"

#include <QByteArray>

#include <chrono>
#include <string>

namespace draldbtest {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

inline QByteArray confLine(const std::string &key, const std::string &value)
{
    return QByteArray::fromStdString(key + " = " + value + "\r\n");
}

inline QByteArray clusterConf(const std::string &password = testenv::database().password.toStdString())
{
    const auto db = testenv::database();
    return confLine("db_host", db.host.toStdString()) + confLine("db_name", db.name.toStdString()) +
           confLine("db_username", db.user.toStdString()) + confLine("db_password", password);
}

inline milliseconds elapsedSince(SteadyClock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(SteadyClock::now() - start);
}

} // namespace draldbtest
