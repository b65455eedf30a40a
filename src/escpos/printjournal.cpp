#include "escpos/printjournal.h"

#include "core/textconv.h"
#include "platform/files.h"
#include "shared/conffile.h"

#include <QFile>
#include <QStringList>

namespace kv {

const QString &PrintJournal::fileName()
{
    static const QString name = QStringLiteral("poscommands.journal");
    return name;
}

PrintJournal::PrintJournal(QString path)
    : m_path(std::move(path))
{
}

const QSet<QString> &PrintJournal::ids()
{
    if (!m_loaded) {
        m_loaded = true;
        // A journal that cannot be read is as good as none: the rows it named
        // print again, which is what happened before there was a journal.
        const conffile::Content content = conffile::read(text::toUtf8(m_path));
        if (content.ok()) {
            // Split by hand: a regular expression here would load and compile
            // the PCRE engine into an otherwise idle launcher for good.
            QString text = text::fromUtf8(content.text);
            text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
            for (QString line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
                line = line.trimmed();
                if (!line.isEmpty())
                    m_ids.insert(line);
            }
        }
    }
    return m_ids;
}

bool PrintJournal::save(const QSet<QString> &ids, QString *error)
{
    m_loaded = true;
    m_ids = ids;
    if (ids.isEmpty()) {
        if (!QFile::exists(m_path) || QFile::remove(m_path))
            return true;
        if (error)
            *error = QStringLiteral("cannot remove %1").arg(m_path);
        return false;
    }
    QStringList sorted(ids.begin(), ids.end());
    sorted.sort();
    std::string bytes;
    for (const QString &id : sorted)
        bytes += text::toUtf8(id) + "\r\n";
    std::string reason;
    if (platform::replaceFile(text::toUtf8(m_path), bytes, 0600, &reason))
        return true;
    if (error)
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, QString::fromStdString(reason));
    return false;
}

} // namespace kv
