// The ids of queued rows whose receipts the print server has already taken.
// A pass records them before it deletes the rows; when the database goes
// away in between, the rows stay queued, and the next pass deletes them
// without printing them a second time (a kitchen order sent twice is cooked
// twice). The journal lies beside shell.conf and is written the same way:
// whole or not at all, readable by the till's user only.
#pragma once

#include <QSet>
#include <QString>

namespace kv {

class PrintJournal {
public:
    // The file name in the application directory.
    static const QString &fileName();

    explicit PrintJournal(QString path);

    // The ids recorded, read from the file at the first call.
    const QSet<QString> &ids();
    // Makes `ids` the journal and puts it on disk (flushed) before it returns;
    // an empty journal removes the file. False, with the reason, when the
    // disk could not be written; the journal in memory holds `ids` anyway.
    bool save(const QSet<QString> &ids, QString *error);

private:
    QString m_path;
    QSet<QString> m_ids;
    bool m_loaded = false;
};

} // namespace kv
