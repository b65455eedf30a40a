#include "core/eventlog.h"

#include <QByteArray>

namespace kv {

namespace {

const char *nameOf(LogPriority priority)
{
    switch (priority) {
    case LogPriority::Error: return "error";
    case LogPriority::Warning: return "warning";
    case LogPriority::Notice: return "notice";
    case LogPriority::Info: return "info";
    case LogPriority::Debug: return "debug";
    }
    return "info";
}

} // namespace

QString eventLine(LogPriority priority, const QString &event, const QDateTime &at, bool journal)
{
    // A line end inside an event would make a second line of its own.
    QString text = event;
    text.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (journal)
        return QStringLiteral("<%1>").arg(int(priority)) + text;
    return at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + QLatin1String(nameOf(priority)) +
           QStringLiteral(": ") + text;
}

StreamEventLog::StreamEventLog(std::FILE *stream, const Clock &clock, bool journal)
    : m_stream(stream), m_clock(clock), m_journal(journal)
{
}

void StreamEventLog::log(LogPriority priority, const QString &event)
{
    try {
        // The journal stamps the line itself: the local time is not read for it.
        const QDateTime at = m_journal ? QDateTime() : m_clock.now();
        const QByteArray line = eventLine(priority, event, at, m_journal).toUtf8() + '\n';
        std::lock_guard guard(m_lock);
        std::fwrite(line.constData(), 1, std::size_t(line.size()), m_stream);
        std::fflush(m_stream);
    } catch (...) {
    }
}

} // namespace kv
