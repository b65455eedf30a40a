// What the launcher must know, across a power cut, about queued rows whose
// receipts it has handed to the print server: which job holds which rows
// until the server reports the job completed (on paper, as the printer's
// backend confirms it), and which rows are on paper already though their
// deletes did not get through. The rows stay in the queue meanwhile: a
// print server as installed writes its jobs to disk only now and then
// (CUPS: every DirtyCleanInterval, 30 s by default), so a till that loses
// power right after the hand-over comes back to a server that never had the
// job. The journal lies beside shell.conf and is written the same way:
// whole or not at all (flushed to disk, then renamed into place), readable
// by the till's user only.
#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace kv {

class PrintJournal {
public:
    // A job handed over (or being handed over) and the rows it holds.
    struct Job {
        QString name;
        QString printer;
        // The server's number for it; 0 when it never told.
        int id = 0;
        // The server did not say whether it took the job.
        bool unanswered = false;
        // The ids of the rows, in the order they were printed.
        QStringList rows;

        bool operator==(const Job &) const = default;
    };
    struct Content {
        // Rows on paper whose deletes did not get through: deleted unprinted.
        QSet<QString> printed;
        QList<Job> jobs;

        bool isEmpty() const { return printed.isEmpty() && jobs.isEmpty(); }
    };

    // The file name in the application directory.
    static const QString &fileName();

    explicit PrintJournal(QString path);

    // What the journal holds, read from the file at the first call. A file
    // of an older launcher (one row id a line) reads as printed rows.
    const Content &content();
    // Makes `content` the journal and puts it on disk (flushed) before it
    // returns; an empty journal removes the file. False, with the reason,
    // when the disk could not be written; the journal in memory holds
    // `content` anyway.
    bool save(const Content &content, QString *error);

private:
    QString m_path;
    Content m_content;
    bool m_loaded = false;
};

} // namespace kv
