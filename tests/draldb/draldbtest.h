// Shared by the tests that reach the test cluster through the client library:
// a front-end configuration for it, and bounded polling.
#pragma once

#include "testenv.h"

#include <QByteArray>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

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

// Polls probe until it holds or bound has passed.
inline bool pollUntil(const std::function<bool()> &probe, milliseconds bound)
{
    const auto start = SteadyClock::now();
    while (!probe()) {
        if (elapsedSince(start) > bound)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

} // namespace draldbtest
