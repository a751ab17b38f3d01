#include "tools/gang/database/lookup.h"

#include <algorithm>
#include <utility>

namespace recorddb
{

namespace
{

// A look-up the database has not answered by then is given up with its
// connection: the next one goes on a new connection.
constexpr milliseconds answer_limit{10000};

const std::string latest_of_serial =
    "SELECT station, run, usb_path, end_text, result, image_sha256, mode "
    "FROM flasher.latest_flash WHERE serial = $1";

const std::string late = "the database did not answer in time";

std::string field(const PGresult *result, int column)
{
    return PQgetisnull(result, 0, column) != 0 ? "" : PQgetvalue(result, 0, column);
}

} // namespace

lookup_verdict decide(const std::optional<latest_line> &latest, const lookup_request &request)
{
    if (latest && latest->result == "ok" && latest->sha256 == request.sha256 &&
        latest->mode == request.mode && !request.sha256.empty())
        return lookup_verdict::skip;
    return lookup_verdict::flash;
}

lookups::lookups(std::string conninfo, milliseconds connect_limit)
    : link_(std::move(conninfo)), connect_limit_(connect_limit)
{
}

unsigned lookups::ask(lookup_request request, steady_time deadline)
{
    const unsigned id = next_id_++;
    queue_.push_back({id, std::move(request), deadline});
    return id;
}

std::vector<lookup_answer> lookups::take_answers()
{
    return std::exchange(answers_, {});
}

void lookups::answer(unsigned id, lookup_verdict verdict, std::optional<latest_line> latest,
                     std::string detail)
{
    lookup_answer a;
    a.id = id;
    a.verdict = verdict;
    a.latest = std::move(latest);
    a.detail = std::move(detail);
    answers_.push_back(std::move(a));
}

std::optional<steady_time> lookups::deadline() const
{
    std::optional<steady_time> at = link_.deadline();
    const auto sooner = [&at](steady_time t) {
        if (!at || t < *at)
            at = t;
    };
    if (in_flight_)
        sooner(in_flight_->deadline);
    for (const asked &a : queue_)
        sooner(a.deadline);
    if (link_.current() == pg_link::state::closed)
        sooner(queue_.empty() ? retry_.at : steady_time{}); // away: answered at once
    if (link_.current() == pg_link::state::ready && !queue_.empty())
        sooner(steady_time{}); // to be sent at once
    if (!answers_.empty())
        sooner(steady_time{});
    return at;
}

void lookups::expire(steady_time now)
{
    // Without a connection under way there is nothing to wait for.
    const bool away = link_.current() == pg_link::state::closed;
    if (in_flight_ && now >= in_flight_->deadline) {
        answer(in_flight_->id, lookup_verdict::not_looked_up, std::nullopt, late);
        in_flight_.reset(); // its answer, if it comes, is dropped
    }
    while (!queue_.empty() && (away || now >= queue_.front().deadline)) {
        answer(queue_.front().id, lookup_verdict::not_looked_up, std::nullopt,
               away && !away_.empty() ? late + ": " + away_ : late);
        queue_.pop_front();
    }
    // Later ones may expire before the first: answered as they fall due.
    for (auto it = queue_.begin(); it != queue_.end();) {
        if (now >= it->deadline) {
            answer(it->id, lookup_verdict::not_looked_up, std::nullopt, late);
            it = queue_.erase(it);
        } else {
            ++it;
        }
    }
}

void lookups::send_next(steady_time now)
{
    if (queue_.empty() || link_.current() != pg_link::state::ready)
        return;
    asked next = std::move(queue_.front());
    queue_.pop_front();
    if (link_.send(latest_of_serial, {next.request.serial.c_str()}, now, answer_limit))
        in_flight_ = std::move(next);
    else
        queue_.push_front(std::move(next));
}

void lookups::on_result(const PGresult *result)
{
    if (!in_flight_)
        return; // answered already, as not looked up
    const asked done = std::move(*in_flight_);
    in_flight_.reset();
    failure why;
    if (answer_failed(result, why)) {
        answer(done.id, lookup_verdict::not_looked_up, std::nullopt,
               "the database could not answer: " + why.message);
        return;
    }
    std::optional<latest_line> latest;
    if (PQntuples(result) > 0)
        latest = latest_line{field(result, 0), field(result, 1), field(result, 2), field(result, 3),
                             field(result, 4), field(result, 5), field(result, 6)};
    const lookup_verdict verdict = decide(latest, done.request);
    answer(done.id, verdict, std::move(latest), "");
}

void lookups::take(short revents, steady_time now)
{
    if (link_.current() == pg_link::state::closed && now >= retry_.at)
        link_.connect(now, connect_limit_);
    link_event e = link_.take(revents, now);
    switch (e.what) {
    case link_event::kind::connected:
        retry_.succeeded();
        away_.clear();
        break;
    case link_event::kind::failed:
        retry_.failed(now);
        away_ = e.why.message;
        if (in_flight_)
            answer(in_flight_->id, lookup_verdict::not_looked_up, std::nullopt,
                   late + ": " + away_);
        in_flight_.reset();
        break;
    case link_event::kind::answered:
        on_result(e.result.get());
        break;
    case link_event::kind::none:
        break;
    }
    expire(now);
    send_next(now);
}

} // namespace recorddb
