#include "core/helpers.h"

#include <QDir>
#include <QFileInfo>

namespace kv {

QString addBackslash(const QString &s)
{
    if (s.isEmpty() || s.endsWith(QLatin1Char('/')))
        return s;
    return s + QLatin1Char('/');
}

namespace {

// "*" and "?" only, as a Windows directory search knows them; "[" is literal.
bool wildcardMatch(QStringView pattern, QStringView name)
{
    qsizetype p = 0, n = 0, starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == QLatin1Char('?') || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == QLatin1Char('*')) {
            starP = p++;
            starN = n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

bool isVisibleRegularFile(const QFileInfo &fi)
{
    // QFileInfo follows links, so a link to a regular file counts as one.
    return !fi.fileName().startsWith(QLatin1Char('.')) && fi.isFile();
}

} // namespace

bool fileExists(const QString &p)
{
    if (p.isEmpty() || p.endsWith(QLatin1Char('/')))
        return false;
    const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
    const QString dir = slash < 0 ? QStringLiteral(".") : (slash == 0 ? QStringLiteral("/") : p.left(slash));
    const QString last = p.mid(slash + 1);

    if (!last.contains(QLatin1Char('*')) && !last.contains(QLatin1Char('?'))) {
        const QFileInfo fi(QDir(dir), last);
        return isVisibleRegularFile(fi);
    }

    const QDir d(dir);
    if (!d.exists())
        return false;
    const auto names = d.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QString &name : names) {
        if (wildcardMatch(last, name) && isVisibleRegularFile(QFileInfo(d, name)))
            return true;
    }
    return false;
}

} // namespace kv
