// shell.conf and the front-end's configuration file.
#pragma once

#include "core/appcontext.h"
#include "core/eventlog.h"
#include "core/outcome.h"
#include "core/prompter.h"

#include <QString>

namespace kv {

// The launcher's settings; every field starts as "".
struct LauncherSettings {
    QString db_host;
    QString db_name;
    QString db_username;
    QString db_password;
    QString stationid;
    QString esc_printer;
    QString db_username_admin;
    QString db_password_admin;

    bool operator==(const LauncherSettings &) const = default;
};

namespace config {

// Creates shell.conf at sDestination from "dralfrontend.conf" (else
// "korvantis.conf") in the application directory: the database keys only, in
// file order, repeats included. When the file cannot be written the person is
// told to restart with more rights and the launcher ends.
Outcome importFrontEndConfig(const QString &sDestination, const AppContext &ctx, Prompter &prompter);

// Parses shell.conf; rewrites it whole when esc_printer is empty or another
// launcher executable wrote it. Failures give the record as far as read; a
// file that is there but not read (not a regular file, over 1 MiB) is named
// on standard error. Runs at every start, so it also removes the temporary
// files a killed rewrite left and makes the file private when the launcher
// owns it.
LauncherSettings readShellConfig(const QString &sPath, const AppContext &ctx, EventLog *log = nullptr);

// Replaces a file that holds the database password: mode 0600 from the first
// byte, and a crash leaves the old file or the new one, never half of one.
// Returns false with errorText set when it could not be written.
bool writePrivateFile(const QString &sPath, const QByteArray &bytes, QString *errorText = nullptr);

// Appends a line (ended by CR LF) to a file that holds the database
// password, leaving it mode 0600; starts a new line first when the file's
// last line has no end.
bool appendPrivateLine(const QString &sPath, const QByteArray &line, QString *errorText = nullptr);

} // namespace config
} // namespace kv
