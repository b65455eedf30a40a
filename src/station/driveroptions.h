#pragma once

// What the launcher adds to a connection text before the driver sees it:
// the TLS mode the shop's other clients have, keepalives, and the
// certificate files libpq is to check against.

#include <QString>

#include <string>

namespace kv::odbc {

// The value of a key of a connection text, as the driver reads it; a null
// string when the text has no such key.
QString valueOf(const QString &connectionText, QLatin1String key);

// The SERVER key's value.
std::string serverOf(const QString &connectionText);

// The caller's text with the driver options of odbc.h added (why: there).
// Throws Error for a PGSSLMODE that libpq would not know, or a certificate
// file named that is not there.
QString withDriverOptions(const QString &text, int deadlineMs);

} // namespace kv::odbc
