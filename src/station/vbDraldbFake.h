// An in-memory stand-in for the client library, for tests of the code that
// uses it (the POS queue, the notification dispatch). It keeps what the real
// library would: listened channels, queued notifications, result sets and
// row handles; and records the calls a test counts.
#pragma once

#include "station/vbDraldb.h"

#include <QList>
#include <QMap>
#include <QStringList>

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <optional>

namespace kv {

class FakeDraldb final : public DraldbClient {
public:
    // Column name to text; a row without a column reads as "".
    using Row = QMap<QString, QString>;

    // --- what the test sets up ---
    // What system_init returns; 0 plays a library that cannot connect.
    qint32 initResult = 1;
    // The library's configuration (config_getvalue).
    QMap<QString, QString> config;
    // Tables VB_delete removes rows from, matched by the row's "id".
    QMap<QString, QList<Row>> tables;
    // The rows a statement gives; nullopt (the default) gives no result set.
    std::function<std::optional<QList<Row>>(const QString &sSql)> answer;

    FakeDraldb() { newWire(); }
    ~FakeDraldb() override
    {
        for (const int fd : m_wires)
            ::close(fd);
    }
    FakeDraldb(const FakeDraldb &) = delete;
    FakeDraldb &operator=(const FakeDraldb &) = delete;

    // Another program's NOTIFY: queued only on a listened channel, as the
    // server does. The payload is not kept, as the library drops it. It
    // arrives on the socket, which stays readable until a check reads it.
    void notify(const QString &sChannel)
    {
        if (!listened.contains(sChannel))
            return;
        m_pending.append(sChannel);
        const char byte = 1;
        [[maybe_unused]] const auto n = ::write(m_wire[1], &byte, 1);
    }

    // The connection was lost and is back, listening again: what was
    // pending and whatever is notified until then is gone. The new session
    // has a socket of its own; the old one stays open but silent.
    void reconnect()
    {
        char buffer[256];
        while (::read(m_wire[0], buffer, sizeof buffer) > 0) {
        }
        newWire();
        m_pending.clear();
        ++m_relistens;
        m_reconnectUnseen = true;
    }

    // --- what the test reads back ---
    // The calls that open, listen, check and run statements, e.g.
    // "VB_new_sql(1, Select 1, 0)".
    QStringList calls;
    QStringList listened;

    // --- DraldbClient ---
    qint32 system_init(const QString &sFrontEndExecutable) override
    {
        log(QStringLiteral("system_init(%1)").arg(sFrontEndExecutable));
        return initResult;
    }
    qint32 VB_notify_listen(qint32 connection, const QString &sChannel) override
    {
        log(QStringLiteral("VB_notify_listen(%1, %2)").arg(connection).arg(sChannel));
        if (connection == 0 || connection != initResult || sChannel.isEmpty())
            return 0;
        if (!listened.contains(sChannel))
            listened.append(sChannel);
        return 1;
    }
    QString VB_notify_check(qint32 connection) override
    {
        log(QStringLiteral("VB_notify_check(%1)").arg(connection));
        m_reconnectUnseen = false;
        // Like the library, a check reads whatever has arrived; the names
        // wait in its buffer from then on, not on the socket.
        char buffer[256];
        while (::read(m_wire[0], buffer, sizeof buffer) > 0) {
        }
        if (connection == 0 || connection != initResult || m_pending.isEmpty())
            return QString();
        return m_pending.takeFirst();
    }
    QString config_getvalue(const QString &sKey) override
    {
        return config.value(sKey);
    }
    QString VB_new_sql(qint32 connection, const QString &sSql, qint32 &resultSet, qint32 flags) override
    {
        log(QStringLiteral("VB_new_sql(%1, %2, %3)").arg(connection).arg(sSql).arg(flags));
        resultSet = 0;
        if (connection == 0 || connection != initResult)
            return QStringLiteral("unknown connection");
        const auto rows = answer ? answer(sSql) : std::nullopt;
        if (!rows)
            return QString();
        resultSet = ++m_lastResultSet;
        m_resultSets.insert(resultSet, ResultSet{*rows, 0});
        return QString();
    }
    qint32 VB_numrecord(qint32 resultSet) override
    {
        const auto it = m_resultSets.constFind(resultSet);
        return it == m_resultSets.constEnd() ? 0 : qint32(it->rows.size());
    }
    qint32 VB_moveto(qint32 resultSet, qint32 rowIndex) override
    {
        const auto it = m_resultSets.find(resultSet);
        if (it == m_resultSets.end() || rowIndex < 0 || rowIndex >= it->rows.size())
            return 0;
        it->current = rowIndex;
        return rowIndex + 1;
    }
    QString VB_getvalue(qint32 resultSet, const QString &, const QString &sColumn, qint32 &row) override
    {
        const Row *r = rowOf(resultSet, row);
        return r ? r->value(sColumn) : QString();
    }
    QString VB_delete(qint32 resultSet, const QString &sTable, qint32 &row) override
    {
        const Row *r = rowOf(resultSet, row);
        if (!r || !r->contains(QStringLiteral("id")))
            return QStringLiteral("no such row");
        const QString id = r->value(QStringLiteral("id"));
        auto &table = tables[sTable];
        for (qsizetype i = 0; i < table.size(); ++i) {
            if (table[i].value(QStringLiteral("id")) == id) {
                table.removeAt(i);
                break;
            }
        }
        return QString();
    }
    void VB_free(qint32 &resultSet) override
    {
        m_resultSets.remove(resultSet);
        resultSet = 0;
    }

    qint32 draldb_pending(qint32 connection) override
    {
        return connection == initResult && (!m_pending.isEmpty() || m_reconnectUnseen) ? 1 : 0;
    }
    int draldb_socket(qint32 connection) override
    {
        return connection == initResult ? m_wire[0] : -1;
    }
    qint32 draldb_relistens(qint32 connection) override
    {
        return connection == initResult ? m_relistens : 0;
    }

private:
    struct ResultSet {
        QList<Row> rows;
        qsizetype current = 0;
    };

    void log(const QString &call) { calls.append(call); }
    void newWire()
    {
        if (::pipe2(m_wire, O_CLOEXEC | O_NONBLOCK) == 0)
            m_wires << m_wire[0] << m_wire[1];
    }

    // Same row handles as the library: index plus one, 0 for the current row.
    const Row *rowOf(qint32 resultSet, qint32 row) const
    {
        const auto it = m_resultSets.constFind(resultSet);
        if (it == m_resultSets.constEnd())
            return nullptr;
        const qsizetype index = row > 0 ? row - 1 : it->current;
        return index < it->rows.size() ? &it->rows[index] : nullptr;
    }

    QStringList m_pending;
    QMap<qint32, ResultSet> m_resultSets;
    qint32 m_lastResultSet = 0;
    qint32 m_relistens = 0;
    bool m_reconnectUnseen = false;
    int m_wire[2] = {-1, -1};
    QList<int> m_wires; // every one made, closed at the end
};

} // namespace kv
