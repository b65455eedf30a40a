// One database connection kept open between operations, for work that runs
// often and must stay cheap (a write per keystroke): opening a connection
// costs a password exchange each time, a statement on an open one a single
// round trip.
//
//   kv::odbc::KeptConnection db(3000);
//   db.run(buildConnectionText(shellConf), [&](kv::odbc::Connection &c) {
//       kv::odbc::Recordset rs;
//       rs.open(sql, c);
//   });
//
// A kept connection can go stale behind the launcher's back (the server was
// restarted, an idle session was ended): when the work fails on a connection
// kept from before because its link is gone, the connection is opened afresh
// and the work runs once more. Work handed to run() must therefore be safe
// to repeat, or keep track of what it sent: a statement sent before the link
// went may have been carried out (the program manager's Add looks for its row
// before inserting it again). Any other failure, and any failure on a fresh connection, is
// thrown to the caller as odbc::Error; the connection is then closed, so the
// next run starts clean.
#pragma once

#include "station/odbc.h"

#include <functional>

namespace kv::odbc {

class KeptConnection {
public:
    // Statements on the kept connection give up after this long.
    explicit KeptConnection(int statementDeadlineMs);

    // Opens the connection first when it is closed or was opened with
    // another text (the settings changed).
    void run(const QString &connectionText, const std::function<void(Connection &)> &work);

    bool isOpen() const { return m_connection.isOpen(); }
    void close() noexcept;

    // The driver's report of a link that is gone, as opposed to a statement
    // the server refused.
    static bool isLostLink(const Error &error);

private:
    void openWith(const QString &connectionText);

    Connection m_connection;
    QString m_text;
    int m_deadlineMs;
};

} // namespace kv::odbc
