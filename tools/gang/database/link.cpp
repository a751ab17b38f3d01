#include "tools/gang/database/link.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace recorddb
{

namespace
{

void no_notices(void *, const char *)
{
    // "already exists, skipping" and the like: nothing a station needs to show.
}

std::string seconds_text(milliseconds limit)
{
    const long long tenths = (limit.count() + 50) / 100;
    char text[48];
    if (tenths % 10 != 0)
        std::snprintf(text, sizeof text, "%lld.%lld", tenths / 10, tenths % 10);
    else
        std::snprintf(text, sizeof text, "%lld", tenths / 10);
    return text;
}

bool is_error(ExecStatusType status)
{
    return status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE ||
           status == PGRES_NONFATAL_ERROR;
}

} // namespace

void retry_pause::failed(steady_time now)
{
    constexpr milliseconds first{250};
    pause = pause.count() == 0 ? first : std::min(pause * 2, longest_pause);
    at = now + pause;
}

void retry_pause::refused(steady_time now)
{
    constexpr milliseconds seldom{30000};
    pause = longest_pause;
    at = now + seldom;
}

bool answer_failed(const PGresult *result, failure &why)
{
    if (result != nullptr && !is_error(PQresultStatus(result)))
        return false;
    const char *state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const char *text =
        result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    why.sqlstate = state != nullptr ? state : "";
    why.message = text != nullptr ? text : "the database gave no answer";
    why.refused = refusing_sqlstate(why.sqlstate);
    return true;
}

pg_link::pg_link(std::string conninfo) : conninfo_(std::move(conninfo)) {}

pg_link::~pg_link()
{
    close();
}

void pg_link::close()
{
    starting_.reset();
    if (conn_ != nullptr)
        PQfinish(conn_);
    conn_ = nullptr;
    state_ = state::closed;
    flushing_ = false;
    kept_.reset();
}

link_event pg_link::fail(failure why)
{
    close();
    link_event e;
    e.what = link_event::kind::failed;
    e.why = std::move(why);
    return e;
}

link_event pg_link::lost(const std::string &what)
{
    failure why;
    why.message = what;
    if (conn_ != nullptr) {
        const std::string said = readable(PQerrorMessage(conn_));
        if (!said.empty())
            why.message += ": " + said;
    }
    return fail(why);
}

void pg_link::connect(steady_time now, milliseconds limit)
{
    close();
    // Defaults first: what the connection string says overrides them.
    const char *keys[] = {"fallback_application_name", "client_encoding", "dbname", nullptr};
    const char *values[] = {"flasher-gang", "UTF8", conninfo_.c_str(), nullptr};
    starting_ = std::make_unique<connect_start>(keys, values);
    deadline_ = now + limit;
    limit_ = limit;
    polling_ = PGRES_POLLING_WRITING;
    state_ = state::connecting;
}

// The helper thread has started the connection: the loop takes it on.
void pg_link::take_started()
{
    conn_ = starting_->take();
    starting_.reset();
    if (conn_ == nullptr) {
        failure why;
        why.message = "out of memory";
        pending_ = fail(why);
        return;
    }
    PQsetErrorVerbosity(conn_, PQERRORS_VERBOSE);
    PQsetNoticeProcessor(conn_, no_notices, nullptr);
    if (PQstatus(conn_) == CONNECTION_BAD)
        pending_ = fail(connect_failure(PQerrorMessage(conn_), false));
}

bool pg_link::send(const std::string &sql, const std::vector<const char *> &params, steady_time now,
                   milliseconds limit)
{
    if (state_ != state::ready)
        return false;
    const int sent = params.empty()
                         ? PQsendQuery(conn_, sql.c_str())
                         : PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(params.size()),
                                             nullptr, params.data(), nullptr, nullptr, 0);
    if (sent == 0) {
        pending_ = lost("the query could not be sent");
        return false;
    }
    state_ = state::busy;
    deadline_ = now + limit;
    limit_ = limit;
    const int flushed = PQflush(conn_);
    if (flushed < 0) {
        pending_ = lost("the query could not be sent");
        return false;
    }
    flushing_ = flushed == 1;
    return true;
}

bool pg_link::has_fd() const
{
    return conn_ != nullptr && state_ != state::closed && PQsocket(conn_) >= 0;
}

void pg_link::add_fd(std::vector<pollfd> &fds) const
{
    if (!has_fd())
        return;
    short events = POLLIN;
    if (state_ == state::connecting)
        events = polling_ == PGRES_POLLING_WRITING ? POLLOUT : POLLIN;
    else if (flushing_)
        events = POLLIN | POLLOUT;
    fds.push_back({PQsocket(conn_), events, 0});
}

std::optional<steady_time> pg_link::deadline() const
{
    if (pending_.what != link_event::kind::none)
        return steady_time{}; // at once
    if (starting_)            // the helper's end is looked for every 10 ms
        return std::min(deadline_, std::chrono::steady_clock::now() + milliseconds(10));
    if (state_ == state::connecting || state_ == state::busy)
        return deadline_;
    return std::nullopt;
}

link_event pg_link::take(short revents, steady_time now)
{
    if (pending_.what != link_event::kind::none)
        return std::exchange(pending_, link_event{});
    switch (state_) {
    case state::connecting:
        return take_connecting(revents, now);
    case state::busy:
        return take_busy(revents, now);
    case state::ready:
        return take_ready(revents);
    case state::closed:
        break;
    }
    return {};
}

link_event pg_link::take_connecting(short revents, steady_time now)
{
    if (starting_ && starting_->done()) {
        take_started();
        if (pending_.what != link_event::kind::none)
            return std::exchange(pending_, link_event{});
    }
    if (conn_ != nullptr && revents != 0) {
        polling_ = PQconnectPoll(conn_);
        if (polling_ == PGRES_POLLING_OK) {
            if (PQsetnonblocking(conn_, 1) != 0)
                return lost("the connection cannot be made non-blocking");
            state_ = state::ready;
            link_event e;
            e.what = link_event::kind::connected;
            return e;
        }
        if (polling_ == PGRES_POLLING_FAILED)
            return fail(connect_failure(PQerrorMessage(conn_), PQconnectionNeedsPassword(conn_)));
    }
    if (now >= deadline_) {
        failure why;
        why.message = "no answer within " + seconds_text(limit_) + " s";
        return fail(why);
    }
    return {};
}

link_event pg_link::take_busy(short revents, steady_time now)
{
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && PQconsumeInput(conn_) == 0)
        return lost("the connection was lost");
    if (flushing_ && revents != 0) {
        const int flushed = PQflush(conn_);
        if (flushed < 0)
            return lost("the connection was lost");
        flushing_ = flushed == 1;
    }
    while (!flushing_ && PQisBusy(conn_) == 0) {
        pq_result r(PQgetResult(conn_));
        if (!r) {
            if (PQstatus(conn_) == CONNECTION_BAD)
                return lost("the connection was lost");
            state_ = state::ready;
            link_event e;
            e.what = link_event::kind::answered;
            e.result = std::move(kept_);
            return e;
        }
        failure ignored;
        if (!kept_ || !answer_failed(kept_.get(), ignored))
            kept_ = std::move(r);
    }
    if (now >= deadline_) {
        failure why;
        why.message = "no answer within " + seconds_text(limit_) + " s";
        return fail(why);
    }
    return {};
}

link_event pg_link::take_ready(short revents)
{
    if (revents == 0)
        return {};
    if (PQconsumeInput(conn_) == 0 || PQstatus(conn_) == CONNECTION_BAD)
        return lost("the database closed the connection");
    return {};
}

} // namespace recorddb
