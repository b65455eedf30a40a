#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// A fresh application directory, removed with its contents at scope end.
class TempAppDir {
public:
    TempAppDir();
    QString path() const { return m_dir.path(); }
    // path() with a trailing "/".
    QString appPath() const { return m_dir.path() + QLatin1Char('/'); }
    QString file(const QString &name) const { return appPath() + name; }
    void write(const QString &name, const QByteArray &bytes) const;
    QByteArray read(const QString &name) const;

private:
    QTemporaryDir m_dir;
};

} // namespace testsupport
