// A client library (real or fake) with ways into the middle of a pass:
// `atRow` runs once, just before the pass moves to row `interruptAt`;
// `atDelete` once, just before the pass's first delete.
#pragma once

#include "config/vbDraldb.h"

#include <functional>
#include <utility>

class InterruptedLibrary final : public kv::DraldbClient {
public:
    explicit InterruptedLibrary(kv::DraldbClient &lib) : m_lib(lib) {}
    qint32 interruptAt = -1;
    std::function<void()> atRow;
    std::function<void()> atDelete;

    qint32 system_init(const QString &s) override { return m_lib.system_init(s); }
    qint32 VB_notify_listen(qint32 c, const QString &s) override { return m_lib.VB_notify_listen(c, s); }
    QString VB_notify_check(qint32 c) override { return m_lib.VB_notify_check(c); }
    QString config_getvalue(const QString &k) override { return m_lib.config_getvalue(k); }
    QString VB_new_sql(qint32 c, const QString &q, qint32 &rs, qint32 f) override
    {
        return m_lib.VB_new_sql(c, q, rs, f);
    }
    qint32 VB_numrecord(qint32 rs) override { return m_lib.VB_numrecord(rs); }
    qint32 VB_moveto(qint32 rs, qint32 index) override
    {
        if (index == interruptAt && atRow)
            std::exchange(atRow, nullptr)();
        return m_lib.VB_moveto(rs, index);
    }
    QString VB_getvalue(qint32 rs, const QString &t, const QString &c, qint32 &row) override
    {
        return m_lib.VB_getvalue(rs, t, c, row);
    }
    QString VB_delete(qint32 rs, const QString &t, qint32 &row) override
    {
        if (atDelete)
            std::exchange(atDelete, nullptr)();
        return m_lib.VB_delete(rs, t, row);
    }
    void VB_free(qint32 &rs) override { m_lib.VB_free(rs); }
    qint32 draldb_relistens(qint32 c) override { return m_lib.draldb_relistens(c); }
    qint32 draldb_pending(qint32 c) override { return m_lib.draldb_pending(c); }
    int draldb_socket(qint32 c) override { return m_lib.draldb_socket(c); }

private:
    kv::DraldbClient &m_lib;
};
