#include "station/vbDraldb.h"

#include "core/textconv.h"

#include "draldb.h"

#include <string>

namespace kv {

namespace {

// The library's texts are ours to free; bytes that are not UTF-8 become
// replacement characters rather than losing the rest of the text.
QString takeText(char *text)
{
    if (!text)
        return QString();
    QString s = text::fromUtf8(text);
    draldb_free(text);
    return s;
}

} // namespace

qint32 DraldbLibrary::system_init(const QString &sFrontEndExecutable)
{
    return ::system_init(text::toUtf8(sFrontEndExecutable).c_str());
}

qint32 DraldbLibrary::VB_notify_listen(qint32 connection, const QString &sChannel)
{
    return ::VB_notify_listen(connection, text::toUtf8(sChannel).c_str());
}

QString DraldbLibrary::VB_notify_check(qint32 connection)
{
    return takeText(::VB_notify_check(connection));
}

QString DraldbLibrary::config_getvalue(const QString &sKey)
{
    return takeText(::config_getvalue(text::toUtf8(sKey).c_str()));
}

QString DraldbLibrary::VB_new_sql(qint32 connection, const QString &sSql, qint32 &resultSet, qint32 flags)
{
    return takeText(::VB_new_sql(connection, text::toUtf8(sSql).c_str(), &resultSet, flags));
}

qint32 DraldbLibrary::VB_numrecord(qint32 resultSet)
{
    return ::VB_numrecord(resultSet);
}

qint32 DraldbLibrary::VB_moveto(qint32 resultSet, qint32 rowIndex)
{
    return ::VB_moveto(resultSet, rowIndex);
}

QString DraldbLibrary::VB_getvalue(qint32 resultSet, const QString &sTable, const QString &sColumn, qint32 &row)
{
    return takeText(
        ::VB_getvalue(resultSet, text::toUtf8(sTable).c_str(), text::toUtf8(sColumn).c_str(), &row));
}

QString DraldbLibrary::VB_delete(qint32 resultSet, const QString &sTable, qint32 &row)
{
    return takeText(::VB_delete(resultSet, text::toUtf8(sTable).c_str(), &row));
}

void DraldbLibrary::VB_free(qint32 &resultSet)
{
    ::VB_free(&resultSet);
}

qint32 DraldbLibrary::draldb_pending(qint32 connection)
{
    return ::draldb_pending(connection);
}

int DraldbLibrary::draldb_socket(qint32 connection)
{
    return ::draldb_socket(connection);
}

qint32 DraldbLibrary::draldb_relistens(qint32 connection)
{
    return ::draldb_relistens(connection);
}

} // namespace kv
