#include "connection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

namespace draldb {

namespace {

// Server notices ("terminating connection ...") would otherwise land on the
// launcher's stderr.
void ignoreNotice(void *, const char *) {}

std::string errorText(const char *message)
{
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? std::string("database error") : text;
}

int millisUntil(SteadyClock::time_point until)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - SteadyClock::now()).count();
    return int(std::clamp<long long>(left, 0, 60'000));
}

} // namespace

Connection::Connection(ConnectParams params)
    : m_params(std::move(params))
{
}

Connection::~Connection()
{
    PQfinish(m_conn);
}

void Connection::startAttempt()
{
    PQfinish(m_conn);
    // No port: like the launcher's own connection text, it comes from PGPORT.
    // No sslmode or certificate files either: libpq takes PGSSLMODE,
    // PGSSLROOTCERT, PGSSLCERT, PGSSLKEY and PGSSLCRL from the environment
    // itself, and without PGSSLMODE asks for TLS where the server offers it. Keepalives notice a vanished network on an idle connection, the
    // user timeout one that swallows what we send; a statement is cancelled
    // at its deadline (run), which is what a statement_timeout would do.
    const char *keys[] = {"host",       "dbname",         "user",          "password",
                          "client_encoding", "application_name", "keepalives", "keepalives_idle",
                          "keepalives_interval", "keepalives_count", "tcp_user_timeout", nullptr};
    const char *values[] = {m_params.host.c_str(), m_params.dbname.c_str(), m_params.user.c_str(),
                            m_params.password.c_str(), "UTF8", "draldb", "1", "5", "2", "3", "11000", nullptr};
    m_conn = PQconnectStartParams(keys, values, 0);
    m_state = State::Connecting;
    m_attemptStarted = SteadyClock::now();
    if (!m_conn || PQstatus(m_conn) == CONNECTION_BAD) {
        m_poll = PGRES_POLLING_FAILED;
        return;
    }
    PQsetNoticeProcessor(m_conn, ignoreNotice, nullptr);
    m_poll = PGRES_POLLING_WRITING;
}

// Advances the handshake while the socket is ready, waiting for it no later
// than until. libpq's connect_timeout does not apply to PQconnectPoll, hence
// our own deadlines.
void Connection::pumpConnect(SteadyClock::time_point until)
{
    while (m_poll == PGRES_POLLING_READING || m_poll == PGRES_POLLING_WRITING) {
        pollfd p{PQsocket(m_conn), short(m_poll == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
        if (p.fd < 0) {
            m_poll = PGRES_POLLING_FAILED;
            return;
        }
        const int ready = ::poll(&p, 1, millisUntil(until));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        m_poll = PQconnectPoll(m_conn);
    }
}

bool Connection::open()
{
    startAttempt();
    const auto deadline = m_attemptStarted + kConnectDeadline;
    while ((m_poll == PGRES_POLLING_READING || m_poll == PGRES_POLLING_WRITING) && SteadyClock::now() < deadline)
        pumpConnect(deadline);
    if (m_poll == PGRES_POLLING_OK && becomeReady())
        return true;
    PQfinish(m_conn);
    m_conn = nullptr;
    m_state = State::Waiting;
    return false;
}

// One non-blocking step of the reconnect; called from every operation while
// the connection is down.
void Connection::advance()
{
    if (m_state == State::Ready)
        return;
    if (m_state == State::Waiting) {
        if (SteadyClock::now() < m_nextAttempt)
            return;
        startAttempt();
    }
    pumpConnect(SteadyClock::now());
    if (m_poll == PGRES_POLLING_OK) {
        becomeReady();
        return;
    }
    if (m_poll == PGRES_POLLING_FAILED || SteadyClock::now() - m_attemptStarted >= kConnectDeadline) {
        PQfinish(m_conn);
        m_conn = nullptr;
        m_state = State::Waiting;
        m_nextAttempt = SteadyClock::now() + kRetryPause;
    }
}

// LISTENs do not survive a lost session: a fresh one gets them all again,
// sent in one go and not waited for. A server that completed the handshake
// may still not answer them, and the caller of a check must not wait for it;
// later calls read the answers (readListens).
bool Connection::becomeReady()
{
    PQsetnonblocking(m_conn, 1);
    m_state = State::Ready;
    m_listensInFlight = false;
    if (m_channels.empty())
        return true;
    std::string sql;
    for (const auto &channel : m_channels) {
        const auto quoted = quoteIdentifier(channel);
        if (!quoted)
            return false;
        sql += "LISTEN " + *quoted + ";";
    }
    if (!PQsendQuery(m_conn, sql.c_str()) || PQflush(m_conn) < 0) {
        lose();
        return false;
    }
    m_listensInFlight = true;
    m_listenFailed = false;
    m_listensSent = SteadyClock::now();
    return true;
}

// Takes whatever answers to the LISTENs have arrived, without waiting. LISTEN
// is quick for a server that works: one that has not answered within a
// statement's deadline is given up like a stuck statement.
void Connection::readListens()
{
    if (PQflush(m_conn) < 0 || !PQconsumeInput(m_conn)) {
        lose();
        return;
    }
    drainNotifications();
    while (m_listensInFlight && !PQisBusy(m_conn)) {
        PGresult *r = PQgetResult(m_conn);
        if (!r) {
            m_listensInFlight = false;
            if (!m_listenFailed)
                ++m_relistens;
        } else if (PQresultStatus(r) != PGRES_COMMAND_OK) {
            m_listenFailed = true;
        }
        PQclear(r);
    }
    if (PQstatus(m_conn) != CONNECTION_OK ||
        (m_listensInFlight && SteadyClock::now() - m_listensSent >= kStatementDeadline + kCancelGrace))
        lose();
}

void Connection::lose()
{
    m_listensInFlight = false;
    drainNotifications();
    PQfinish(m_conn);
    m_conn = nullptr;
    m_state = State::Waiting;
    m_nextAttempt = SteadyClock::now();
}

void Connection::drainNotifications()
{
    if (!m_conn)
        return;
    while (PGnotify *n = PQnotifies(m_conn)) {
        const auto alias = m_aliases.find(n->relname);
        m_pending.emplace_back(alias == m_aliases.end() ? std::string(n->relname) : alias->second);
        PQfreemem(n);
    }
}

bool Connection::listen(const std::string &channel, const std::string &as)
{
    if (std::find(m_channels.begin(), m_channels.end(), channel) == m_channels.end())
        m_channels.push_back(channel);
    if (!as.empty() && as != channel)
        m_aliases[channel] = as;
    if (m_state != State::Ready) {
        // A reconnect that completes here sends the LISTENs of every channel,
        // this one included, without waiting for their answer.
        advance();
        return false;
    }
    const auto quoted = quoteIdentifier(channel);
    if (!quoted)
        return false;
    const auto out = run("LISTEN " + *quoted);
    PQclear(out.rows);
    return out.error.empty();
}

std::string Connection::nextNotification()
{
    if (m_state == State::Ready) {
        // Reads only what has arrived: libpq's socket is non-blocking.
        if (!PQconsumeInput(m_conn) || PQstatus(m_conn) != CONNECTION_OK)
            lose();
        else if (m_listensInFlight)
            readListens();
        else
            drainNotifications();
    }
    if (m_state != State::Ready)
        advance();
    if (m_pending.empty())
        return {};
    std::string channel = std::move(m_pending.front());
    m_pending.pop_front();
    return channel;
}

bool Connection::pending() const
{
    if (!m_pending.empty() || m_state != State::Ready || m_listensInFlight)
        return true;
    // Whatever came since the last look is still on the socket: every read
    // of libpq is followed by taking the notifications out of its buffer.
    pollfd p{PQsocket(m_conn), POLLIN, 0};
    return ::poll(&p, 1, 0) != 0;
}

std::optional<std::string> Connection::quoteIdentifier(const std::string &name)
{
    if (m_state != State::Ready)
        return std::nullopt;
    char *quoted = PQescapeIdentifier(m_conn, name.data(), name.size());
    if (!quoted)
        return std::nullopt;
    std::string text(quoted);
    PQfreemem(quoted);
    return text;
}

StatementOutcome Connection::run(const std::string &sql, const std::vector<std::string> &params)
{
    StatementOutcome out;
    if (m_state != State::Ready) {
        advance();
        if (m_state != State::Ready) {
            out.error = "no connection to the database";
            return out;
        }
    }
    // The renewed LISTENs come first; a statement may wait for them as long
    // as for itself.
    if (m_listensInFlight) {
        bool broken = false;
        StatementOutcome listens;
        const bool answered = collect(m_listensSent + kStatementDeadline, listens, broken);
        PQclear(listens.rows);
        m_listensInFlight = false;
        if (!answered || broken) {
            lose();
            out.error = answered ? listens.error : "the database did not answer in time";
            return out;
        }
        if (listens.error.empty() && !m_listenFailed)
            ++m_relistens;
    }
    std::vector<const char *> values;
    for (const auto &p : params)
        values.push_back(p.c_str());
    const int sent = params.empty() ? PQsendQuery(m_conn, sql.c_str())
                                    : PQsendQueryParams(m_conn, sql.c_str(), int(values.size()), nullptr,
                                                        values.data(), nullptr, nullptr, 0);
    if (!sent) {
        out.error = errorText(PQerrorMessage(m_conn));
        if (PQstatus(m_conn) != CONNECTION_OK)
            lose();
        return out;
    }

    // A backend that is stopped or stuck behind a lock must not hold the
    // launcher's only thread: wait with a bound, cancel, and give the
    // connection up when even the cancel is not answered.
    bool broken = false;
    if (!collect(SteadyClock::now() + kStatementDeadline, out, broken)) {
        cancelInBackground();
        if (!collect(SteadyClock::now() + kCancelGrace, out, broken)) {
            PQclear(out.rows);
            out.rows = nullptr;
            out.error = "the database did not answer in time";
            lose();
            return out;
        }
    }
    drainNotifications();
    if (broken || PQstatus(m_conn) != CONNECTION_OK)
        lose();
    if (!out.error.empty()) {
        PQclear(out.rows);
        out.rows = nullptr;
    }
    return out;
}

bool Connection::collect(SteadyClock::time_point deadline, StatementOutcome &out, bool &broken)
{
    const auto fail = [&] {
        if (out.error.empty())
            out.error = errorText(PQerrorMessage(m_conn));
        broken = true;
        return true;
    };
    for (;;) {
        const int flushed = PQflush(m_conn);
        if (flushed < 0 || !PQconsumeInput(m_conn))
            return fail();
        drainNotifications();
        while (!PQisBusy(m_conn)) {
            PGresult *r = PQgetResult(m_conn);
            if (!r)
                return true;
            switch (PQresultStatus(r)) {
            case PGRES_TUPLES_OK:
                PQclear(out.rows);
                out.rows = r;
                break;
            case PGRES_COMMAND_OK:
            case PGRES_EMPTY_QUERY:
                PQclear(r);
                break;
            case PGRES_COPY_IN:
            case PGRES_COPY_OUT:
            case PGRES_COPY_BOTH:
                // Nothing here can feed or drain a COPY; only a new session
                // gets the connection out of it.
                PQclear(r);
                out.error = "COPY is not supported";
                broken = true;
                return true;
            default:
                if (out.error.empty())
                    out.error = errorText(PQresultErrorMessage(r));
                PQclear(r);
                break;
            }
        }
        const int wait = millisUntil(deadline);
        if (wait <= 0)
            return false;
        pollfd p{PQsocket(m_conn), short(POLLIN | (flushed == 1 ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, wait) < 0 && errno != EINTR)
            return fail();
    }
}

// PQcancel connects to the server and waits for it without a timeout, so it
// runs beside the caller; PGcancel is independent of the connection and may
// outlive it.
void Connection::cancelInBackground()
{
    PGcancel *cancel = PQgetCancel(m_conn);
    if (!cancel)
        return;
    try {
        std::thread([cancel] {
            char error[256];
            PQcancel(cancel, error, sizeof error);
            PQfreeCancel(cancel);
        }).detach();
    } catch (const std::system_error &) {
        PQfreeCancel(cancel);
    }
}

} // namespace draldb
