#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <stdexcept>

namespace testsupport {

// A fresh application directory, removed with its contents at scope end.
// Should the directory not be made, the first write() says so.
class TempAppDir {
public:
    QString path() const { return m_dir.path(); }
    // path() with a trailing "/".
    QString appPath() const { return m_dir.path() + QLatin1Char('/'); }
    QString file(const QString &name) const { return appPath() + name; }
    void write(const QString &name, const QByteArray &bytes) const
    {
        QFile f(file(name));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
            throw std::runtime_error("cannot write " + file(name).toStdString());
    }
    // Empty when there is no such file.
    QByteArray read(const QString &name) const
    {
        QFile f(file(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
};

} // namespace testsupport
