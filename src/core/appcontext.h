// Where the launcher lives and what it is called. The executable fills this
// from /proc/self/exe; tests fill it with a temporary directory and a name.
#pragma once

#include <QString>

namespace kv {

struct AppContext {
    // The directory holding the launcher, shell.conf and the front-end.
    QString appDir;
    // The launcher's executable file name without directory (and without a
    // Windows ".exe"), as written to shell.conf's "launcher" key.
    QString launcherName;

    // appDir with exactly one trailing "/".
    QString appPath() const;

    static AppContext fromRunningExecutable();
};

} // namespace kv
