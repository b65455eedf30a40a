// The system's database client library (draldb) as the launcher calls it:
// notifications, the station id from the library's configuration, and the POS
// queue. The launcher talks to it through DraldbClient only, so that a wrapper
// (the benchmarks' timing of each call) can stand between.
#pragma once

#include <QString>
#include <QtGlobal>

namespace kv {

// Handles are the library's: 0 means none. Texts cross as UTF-8.
class DraldbClient {
public:
    virtual ~DraldbClient() = default;

    // sFrontEndExecutable: the application directory followed by the
    // front-end's file name; the library reads its configuration beside it.
    // A connection handle, or 0 when the library could not connect.
    virtual qint32 system_init(const QString &sFrontEndExecutable) = 0;
    // 1 when the server took the LISTEN now; the launcher ignores it.
    virtual qint32 VB_notify_listen(qint32 connection, const QString &sChannel) = 0;
    // One pending channel name, or "" at once.
    virtual QString VB_notify_check(qint32 connection) = 0;
    // "" for a key the library's configuration lacks.
    virtual QString config_getvalue(const QString &sKey) = 0;
    // resultSet becomes a handle when the statement gave rows, else 0. The
    // text is "" or the error; the launcher ignores it.
    virtual QString VB_new_sql(qint32 connection, const QString &sSql, qint32 &resultSet, qint32 flags) = 0;
    virtual qint32 VB_numrecord(qint32 resultSet) = 0;
    // The row handle of rowIndex (from 0), which also becomes the current row.
    virtual qint32 VB_moveto(qint32 resultSet, qint32 rowIndex) = 0;
    // The column's text in the row; "" for NULL. sTable is not used.
    virtual QString VB_getvalue(qint32 resultSet, const QString &sTable, const QString &sColumn, qint32 &row) = 0;
    // Deletes the row from sTable by its "id"; "" or the error.
    virtual QString VB_delete(qint32 resultSet, const QString &sTable, qint32 &row) = 0;
    // Releases the result set and sets the handle to 0.
    virtual void VB_free(qint32 &resultSet) = 0;
    // How often the connection was re-established and listens again; what
    // was notified while it was down never comes.
    virtual qint32 draldb_relistens(qint32 connection) = 0;
    // 0 when a VB_notify_check would find nothing new; a wrapper that
    // cannot tell says 1.
    virtual qint32 draldb_pending(qint32 /*connection*/) { return 1; }
    // The socket that becomes readable when a notification arrives, to wait
    // on and nothing else; -1 when there is none now (a reconnect under way)
    // or a wrapper has none.
    virtual int draldb_socket(qint32 /*connection*/) { return -1; }
};

// The real library. Holds nothing itself: the library keeps the connection.
class DraldbLibrary final : public DraldbClient {
public:
    qint32 system_init(const QString &sFrontEndExecutable) override;
    qint32 VB_notify_listen(qint32 connection, const QString &sChannel) override;
    QString VB_notify_check(qint32 connection) override;
    QString config_getvalue(const QString &sKey) override;
    QString VB_new_sql(qint32 connection, const QString &sSql, qint32 &resultSet, qint32 flags) override;
    qint32 VB_numrecord(qint32 resultSet) override;
    qint32 VB_moveto(qint32 resultSet, qint32 rowIndex) override;
    QString VB_getvalue(qint32 resultSet, const QString &sTable, const QString &sColumn, qint32 &row) override;
    QString VB_delete(qint32 resultSet, const QString &sTable, qint32 &row) override;
    void VB_free(qint32 &resultSet) override;
    qint32 draldb_relistens(qint32 connection) override;
    qint32 draldb_pending(qint32 connection) override;
    int draldb_socket(qint32 connection) override;
};

} // namespace kv
