#include "core/appcontext.h"

#include "core/helpers.h"

#include <QFileInfo>

namespace kv {

QString AppContext::appPath() const
{
    return addBackslash(appDir);
}

AppContext AppContext::fromRunningExecutable()
{
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    const QFileInfo target(exe.symLinkTarget());
    AppContext ctx;
    ctx.appDir = target.absolutePath();
    ctx.launcherName = target.fileName();
    if (ctx.launcherName.endsWith(QStringLiteral(".exe"), Qt::CaseInsensitive))
        ctx.launcherName.chop(4);
    return ctx;
}

} // namespace kv
