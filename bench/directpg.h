// A libpq connection of a benchmark's own to the test cluster, beside the
// till's: it plays the rest of the system (queueing receipts, looking at the
// server), named so that its session is told from the tills'.
#pragma once

#include "testenv.h"

#include <libpq-fe.h>

#include <memory>
#include <string>

namespace directpg {

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;

inline Connection connect(const char *applicationName)
{
    const auto db = testenv::database();
    const std::string port = std::to_string(db.port);
    const std::string host = db.host.toStdString(), name = db.name.toStdString(), user = db.user.toStdString(),
                      password = db.password.toStdString();
    const char *keys[] = {"host", "port", "dbname", "user", "password", "application_name", "connect_timeout", nullptr};
    const char *values[] = {host.c_str(),     port.c_str(),    name.c_str(), user.c_str(),
                            password.c_str(), applicationName, "5",          nullptr};
    return {PQconnectdbParams(keys, values, 0), &PQfinish};
}

} // namespace directpg
