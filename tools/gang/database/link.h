// One connection to the database, driven by the caller's poll loop: it
// connects without blocking (PQconnectStartParams on a helper thread, since
// it looks up a host name; then PQconnectPoll), sends one
// query at a time (parameterized, or a script without values), flushes what
// the socket would not take at once, and hands back the answer. It never
// waits: every step is taken when poll says the socket is ready, and every
// wait has a deadline after which the link gives up and closes.
#pragma once

#include "tools/gang/database/connect_error.h"
#include "tools/gang/database/connect_start.h"

#include <chrono>
#include <libpq-fe.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <vector>

namespace recorddb
{

using steady_time = std::chrono::steady_clock::time_point;
using std::chrono::milliseconds;

struct clear_result {
    void operator()(PGresult *r) const
    {
        PQclear(r);
    }
};
using pq_result = std::unique_ptr<PGresult, clear_result>;

// What became of the link in one turn.
struct link_event {
    enum class kind { none, connected, failed, answered };
    kind what = kind::none;
    failure why;      // failed: why (the link is closed now)
    pq_result result; // answered: the first error of the query, else its last result
};

// When to try a connection again: at once at first, then after a pause
// that grows from 250 ms to 4 s while the tries fail, so a database back
// after a long absence is found within 4 s; a refusal is asked again only
// every 30 s. A success starts the pauses over.
struct retry_pause {
    steady_time at{};
    milliseconds pause{0};

    void failed(steady_time now);
    void refused(steady_time now);
    void succeeded()
    {
        pause = milliseconds{0};
    }
};

// The longest pause between tries: also how long a station waits, at most,
// before it tries a database that came back.
constexpr milliseconds longest_pause{4000};

// True when an answer is an error; `why` then says which.
bool answer_failed(const PGresult *result, failure &why);

class pg_link
{
  public:
    enum class state { closed, connecting, ready, busy };

    explicit pg_link(std::string conninfo);
    ~pg_link();
    pg_link(const pg_link &) = delete;
    pg_link &operator=(const pg_link &) = delete;

    state current() const
    {
        return state_;
    }

    // Starts connecting, to be done within `limit`; a failure at once comes
    // back from the next take().
    void connect(steady_time now, milliseconds limit);

    // Sends a query whose values are `params` (as text; nullptr is SQL
    // null), or with no values a script of several statements. Only when
    // ready; false when it could not be sent (take() then says why).
    bool send(const std::string &sql, const std::vector<const char *> &params, steady_time now,
              milliseconds limit);

    void close();

    // The socket and what to wait for, when there is something to wait for.
    void add_fd(std::vector<pollfd> &fds) const;
    bool has_fd() const;

    // One turn: `revents` is what poll said of the socket (0 when it was not
    // polled). Takes what the socket holds and any deadline that passed.
    link_event take(short revents, steady_time now);

    // When take() must be called even if the socket stays quiet.
    std::optional<steady_time> deadline() const;

  private:
    link_event take_connecting(short revents, steady_time now);
    link_event take_busy(short revents, steady_time now);
    link_event take_ready(short revents);
    link_event fail(failure why);
    link_event lost(const std::string &what);

    void take_started();

    std::string conninfo_;
    std::unique_ptr<connect_start> starting_; // the start's helper thread, while it runs
    PGconn *conn_ = nullptr;
    state state_ = state::closed;
    PostgresPollingStatusType polling_ = PGRES_POLLING_WRITING;
    bool flushing_ = false; // a query's bytes the socket has not taken yet
    steady_time deadline_{};
    milliseconds limit_{0};
    pq_result kept_; // the answer so far: its first error, else its last result
    link_event pending_;
};

} // namespace recorddb
