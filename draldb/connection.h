// One library connection: notifications, statements with a deadline, and a
// reconnect that never blocks its caller.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace draldb {

using SteadyClock = std::chrono::steady_clock;

struct ConnectParams {
    std::string host, dbname, user, password;
};

// What a statement gave: the last row-returning result (owned by the caller)
// or the error message.
struct StatementOutcome {
    PGresult *rows = nullptr;
    std::string error;
};

class Connection {
public:
    // Waits at most this long for the server when connecting, so that an
    // address that never answers cannot freeze the caller.
    static constexpr std::chrono::milliseconds kConnectDeadline{4000};
    // A statement that has not finished by then is cancelled.
    static constexpr std::chrono::milliseconds kStatementDeadline{5000};
    // How long a cancelled statement may take to end before the connection is
    // given up (a stopped backend never ends it).
    static constexpr std::chrono::milliseconds kCancelGrace{1000};
    // Pause between failed reconnect attempts.
    static constexpr std::chrono::milliseconds kRetryPause{500};

    explicit Connection(ConnectParams params);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // The first connect: blocks, but no longer than kConnectDeadline.
    bool open();

    // Remembers the channel for every later reconnect; true when the server
    // has taken the LISTEN now. Its notifications come out named `as`
    // (the channel itself when empty).
    bool listen(const std::string &channel, const std::string &as = {});

    // One pending channel name or "", without waiting, also while a
    // reconnect is under way or its LISTENs are unanswered.
    std::string nextNotification();

    // Whether nextNotification() may find something or has a step to take:
    // something queued, a reconnect under way, or bytes on the socket.
    bool pending() const;

    // The session's socket, -1 while there is none.
    int socket() const { return m_state == State::Ready && m_conn ? PQsocket(m_conn) : -1; }

    // Sessions re-established whose LISTENs the server has answered.
    int32_t relistens() const { return m_relistens; }

    StatementOutcome run(const std::string &sql, const std::vector<std::string> &params = {});

    // The name quoted for use as an identifier; nullopt while not connected.
    std::optional<std::string> quoteIdentifier(const std::string &name);

private:
    enum class State { Ready, Connecting, Waiting };

    void startAttempt();
    void pumpConnect(SteadyClock::time_point until);
    void advance();
    bool becomeReady();
    void readListens();
    void lose();
    void drainNotifications();
    // False when the deadline passed first.
    bool collect(SteadyClock::time_point deadline, StatementOutcome &out, bool &broken);
    void cancelInBackground();

    ConnectParams m_params;
    PGconn *m_conn = nullptr;
    State m_state = State::Waiting;
    PostgresPollingStatusType m_poll = PGRES_POLLING_FAILED;
    SteadyClock::time_point m_attemptStarted{};
    SteadyClock::time_point m_nextAttempt{};
    std::vector<std::string> m_channels;
    // Channels whose notifications come out under another name.
    std::map<std::string, std::string> m_aliases;
    // The LISTENs of a fresh session were sent and not all answered yet.
    bool m_listensInFlight = false;
    // One of them came back with an error.
    bool m_listenFailed = false;
    SteadyClock::time_point m_listensSent{};
    std::deque<std::string> m_pending;
    int32_t m_relistens = 0;
};

} // namespace draldb
