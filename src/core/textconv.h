// Text crosses into files, ODBC, libpq and child output as UTF-8 (invalid
// bytes replaced), and into the receipt printer as single bytes.
#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <string_view>

namespace kv::text {

QString fromUtf8(std::string_view bytes);
std::string toUtf8(const QString &s);

// Code points 0-255 as themselves, the extra characters of Windows-1252
// (the euro sign and friends) as their Windows-1252 bytes, anything else "?".
// One byte per character, so a receipt's length is what the cashier typed.
QByteArray toPrinterBytes(const QString &s);

} // namespace kv::text
