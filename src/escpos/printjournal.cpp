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

namespace {

// A job's line: "job", its name, its printer, its number, 1 when
// unanswered, and its
// rows' ids separated by commas, the fields apart by tabs (no job name,
// printer name or id of ours holds a tab). Any other line is one printed
// row's id, as older launchers wrote every line.
const QString kJob = QStringLiteral("job");

} // namespace

const PrintJournal::Content &PrintJournal::content()
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
                const QStringList fields = line.split(QLatin1Char('\t'));
                if (fields.size() == 6 && fields[0] == kJob) {
                    m_content.jobs.append(Job{fields[1], fields[2], fields[3].toInt(), fields[4] == QLatin1String("1"),
                                              fields[5].split(QLatin1Char(','), Qt::SkipEmptyParts)});
                    continue;
                }
                line = line.trimmed();
                if (!line.isEmpty())
                    m_content.printed.insert(line);
            }
        }
    }
    return m_content;
}

bool PrintJournal::save(const Content &content, QString *error)
{
    m_loaded = true;
    m_content = content;
    if (content.isEmpty()) {
        if (!QFile::exists(m_path) || QFile::remove(m_path))
            return true;
        if (error)
            *error = QStringLiteral("cannot remove %1").arg(m_path);
        return false;
    }
    QStringList sorted(content.printed.begin(), content.printed.end());
    sorted.sort();
    std::string bytes;
    for (const QString &id : sorted)
        bytes += text::toUtf8(id) + "\r\n";
    for (const Job &job : content.jobs) {
        const QStringList fields{kJob,
                                 job.name,
                                 job.printer,
                                 QString::number(job.id),
                                 job.unanswered ? QStringLiteral("1") : QStringLiteral("0"),
                                 job.rows.join(QLatin1Char(','))};
        bytes += text::toUtf8(fields.join(QLatin1Char('\t'))) + "\r\n";
    }
    std::string reason;
    if (platform::replaceFile(text::toUtf8(m_path), bytes, 0600, &reason))
        return true;
    if (error)
        *error = QStringLiteral("cannot write %1: %2").arg(m_path, QString::fromStdString(reason));
    return false;
}

} // namespace kv
