// Where a pass over the POS queue spends its time: the client library and
// the spooler wrapped in decorators that add up the time of each call by
// step, without changing what the pass does.
#pragma once

#include "station/vbDraldb.h"
#include "platform/spooler.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace benchpass {

using Clock = std::chrono::steady_clock;

// Nanoseconds by step name.
struct Steps {
    std::map<std::string, double> ns;
    void add(const std::string &step, Clock::time_point since)
    {
        ns[step] += double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - since).count());
    }
};

class TimedDraldb final : public kv::DraldbClient {
public:
    TimedDraldb(kv::DraldbClient &inner, Steps &steps) : m_inner(inner), m_steps(steps) {}

    qint32 system_init(const QString &s) override { return m_inner.system_init(s); }
    qint32 VB_notify_listen(qint32 c, const QString &s) override { return m_inner.VB_notify_listen(c, s); }
    QString VB_notify_check(qint32 c) override { return m_inner.VB_notify_check(c); }
    QString config_getvalue(const QString &key) override
    {
        const auto t = Clock::now();
        QString v = m_inner.config_getvalue(key);
        m_steps.add("config", t);
        return v;
    }
    QString VB_new_sql(qint32 c, const QString &sql, qint32 &rs, qint32 flags) override
    {
        const auto t = Clock::now();
        QString v = m_inner.VB_new_sql(c, sql, rs, flags);
        m_steps.add("query", t);
        return v;
    }
    qint32 VB_numrecord(qint32 rs) override
    {
        const auto t = Clock::now();
        const qint32 v = m_inner.VB_numrecord(rs);
        m_steps.add("row_reads", t);
        return v;
    }
    qint32 VB_moveto(qint32 rs, qint32 index) override
    {
        const auto t = Clock::now();
        const qint32 v = m_inner.VB_moveto(rs, index);
        m_steps.add("row_reads", t);
        return v;
    }
    QString VB_getvalue(qint32 rs, const QString &table, const QString &column, qint32 &row) override
    {
        const auto t = Clock::now();
        QString v = m_inner.VB_getvalue(rs, table, column, row);
        m_steps.add("row_reads", t);
        return v;
    }
    QString VB_delete(qint32 rs, const QString &table, qint32 &row) override
    {
        const auto t = Clock::now();
        QString v = m_inner.VB_delete(rs, table, row);
        m_steps.add("deletes", t);
        return v;
    }
    void VB_free(qint32 &rs) override
    {
        const auto t = Clock::now();
        m_inner.VB_free(rs);
        m_steps.add("free", t);
    }
    qint32 draldb_relistens(qint32 c) override { return m_inner.draldb_relistens(c); }

private:
    kv::DraldbClient &m_inner;
    Steps &m_steps;
};

// The first write of a job is where the spooler creates it: that write is
// "job_create", the others "writes".
class TimedPrinter final : public kv::platform::PrinterHandle {
public:
    TimedPrinter(std::unique_ptr<kv::platform::PrinterHandle> inner, Steps &steps)
        : m_inner(std::move(inner)), m_steps(steps)
    {
    }
    bool startDocument(const kv::platform::DocInfo &doc) override
    {
        m_written = false;
        return m_inner->startDocument(doc);
    }
    bool startPage() override { return m_inner->startPage(); }
    bool endPage() override { return m_inner->endPage(); }
    bool write(std::string_view bytes, std::size_t &written) override
    {
        const auto t = Clock::now();
        const bool ok = m_inner->write(bytes, written);
        m_steps.add(m_written ? "writes" : "job_create", t);
        m_written = true;
        return ok;
    }
    bool finishDocument() override
    {
        const auto t = Clock::now();
        const bool ok = m_inner->finishDocument();
        m_steps.add("job_close", t);
        return ok;
    }
    bool release() override
    {
        const auto t = Clock::now();
        const bool ok = m_inner->release();
        m_steps.add("job_release", t);
        return ok;
    }
    kv::platform::JobRef job() const override { return m_inner->job(); }

private:
    std::unique_ptr<kv::platform::PrinterHandle> m_inner;
    Steps &m_steps;
    bool m_written = false;
};

class TimedSpooler final : public kv::platform::Spooler {
public:
    TimedSpooler(kv::platform::Spooler &inner, Steps &steps) : m_inner(inner), m_steps(steps) {}
    std::vector<std::string> printers() override { return m_inner.printers(); }
    std::string defaultPrinter() override { return m_inner.defaultPrinter(); }
    std::unique_ptr<kv::platform::PrinterHandle> openPrinter(const std::string &name) override
    {
        const auto t = Clock::now();
        auto handle = m_inner.openPrinter(name);
        m_steps.add("printer_open", t);
        if (!handle)
            return handle;
        return std::make_unique<TimedPrinter>(std::move(handle), m_steps);
    }
    kv::platform::JobStage followJob(const kv::platform::JobRef &job) override { return m_inner.followJob(job); }
    std::optional<int> cancelHeldJobs(const std::string &printer, const std::string &prefix) override
    {
        return m_inner.cancelHeldJobs(printer, prefix);
    }
    std::string lastError() const override { return m_inner.lastError(); }

private:
    kv::platform::Spooler &m_inner;
    Steps &m_steps;
};

} // namespace benchpass
