#include "tools/gang/database/record_db.h"

#include "tools/gang/database/conninfo.h"

#include <cerrno>
#include <utility>

namespace recorddb
{

record_db::record_db(db_settings settings)
    : settings_(std::move(settings)), shipper_(settings_.ship)
{
    if (settings_.lookups)
        lookups_ = std::make_unique<lookups>(settings_.ship.conninfo, settings_.ship.connect_limit);
}

int sooner_ms(int timeout_ms, std::optional<steady_time> at, steady_time now)
{
    if (!at)
        return timeout_ms;
    const auto left = std::chrono::ceil<milliseconds>(*at - now).count();
    const int ms = left <= 0 ? 0 : left > 60000 ? 60000 : static_cast<int>(left);
    return timeout_ms < 0 ? ms : std::min(timeout_ms, ms);
}

std::string waiting_text(std::size_t lines)
{
    return "record: " + std::to_string(lines) + (lines == 1 ? " line" : " lines") +
           " waiting for the database";
}

std::size_t record_db::add_fds(std::vector<pollfd> &fds)
{
    const std::size_t before = fds.size();
    ship_polled_ = shipper_.has_fd();
    shipper_.add_fd(fds);
    lookup_polled_ = lookups_ && lookups_->has_fd();
    if (lookup_polled_)
        lookups_->add_fd(fds);
    return fds.size() - before;
}

void record_db::take(const pollfd *fds, steady_time now)
{
    const pollfd *next = fds;
    short ship_events = 0, lookup_events = 0;
    if (ship_polled_)
        ship_events = (next++)->revents;
    if (lookup_polled_)
        lookup_events = next->revents;
    ship_polled_ = lookup_polled_ = false;
    shipper_.take(ship_events, now);
    if (lookups_)
        lookups_->take(lookup_events, now);
}

int record_db::timeout_ms(steady_time now) const
{
    int timeout = sooner_ms(-1, shipper_.deadline(), now);
    if (lookups_)
        timeout = sooner_ms(timeout, lookups_->deadline(), now);
    return timeout;
}

void record_db::appended(steady_time now)
{
    shipper_.appended(now);
}

unsigned record_db::look_up(lookup_request request, steady_time deadline)
{
    return lookups_ ? lookups_->ask(std::move(request), deadline) : 0;
}

std::vector<lookup_answer> record_db::take_answers()
{
    return lookups_ ? lookups_->take_answers() : std::vector<lookup_answer>{};
}

template <typename Done> void record_db::run_until(Done done, steady_time until)
{
    for (steady_time now = std::chrono::steady_clock::now(); !done() && now < until;
         now = std::chrono::steady_clock::now()) {
        std::vector<pollfd> fds;
        add_fds(fds);
        const int timeout = sooner_ms(timeout_ms(now), until, now);
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;
        take(fds.empty() ? nullptr : fds.data(), std::chrono::steady_clock::now());
    }
}

start_outcome record_db::start(milliseconds wait)
{
    start_outcome out;
    out.message = conninfo_refusal(settings_.ship.conninfo);
    if (!out.message.empty()) {
        out.verdict = start_verdict::refused;
        return out;
    }
    if (!shipper_.open(out.message)) {
        out.verdict = start_verdict::refused;
        return out;
    }
    const steady_time until = std::chrono::steady_clock::now() + wait;
    // Away at once is not the answer yet: the first try may fail and the
    // next one, within the wait, succeed (a server starting up, say).
    run_until([this] { return state() == db_state::ready || state() == db_state::refused; }, until);
    switch (state()) {
    case db_state::ready:
        out.verdict = start_verdict::ready;
        break;
    case db_state::refused:
        out.verdict = start_verdict::refused;
        out.message = "the database refused flasher-gang: " + why();
        break;
    default:
        out.verdict = start_verdict::away;
        out.message = "the database cannot be reached" + (why().empty() ? "" : ": " + why());
        break;
    }
    return out;
}

std::size_t record_db::finish(milliseconds wait)
{
    shipper_.appended(std::chrono::steady_clock::now());
    run_until([this] { return waiting() == 0 || state() == db_state::refused; },
              std::chrono::steady_clock::now() + wait);
    return waiting();
}

} // namespace recorddb
