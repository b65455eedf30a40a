#include "station/keptconnection.h"

namespace kv::odbc {

KeptConnection::KeptConnection(int statementDeadlineMs) : m_deadlineMs(statementDeadlineMs) {}

void KeptConnection::openWith(const QString &connectionText)
{
    m_connection.setStatementDeadlineMs(m_deadlineMs);
    m_connection.open(connectionText);
    m_text = connectionText;
}

void KeptConnection::close() noexcept
{
    m_connection.close();
    m_text.clear();
}

bool KeptConnection::isLostLink(const Error &error)
{
    // 08: connection exceptions (the layer reports a cut link as 08S01);
    // 57P01..57P03: the server ended the session on its way down or up.
    const QString &state = error.sqlState();
    return state.startsWith(QLatin1String("08")) || state.startsWith(QLatin1String("57P"));
}

void KeptConnection::run(const QString &connectionText, const std::function<void(Connection &)> &work)
{
    const bool reused = m_connection.isOpen() && m_text == connectionText;
    try {
        if (!reused)
            openWith(connectionText);
        work(m_connection);
        return;
    } catch (const Error &e) {
        close();
        if (!reused || !isLostLink(e))
            throw;
    }
    try {
        openWith(connectionText);
        work(m_connection);
    } catch (const Error &) {
        close();
        throw;
    }
}

} // namespace kv::odbc
