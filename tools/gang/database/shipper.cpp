#include "tools/gang/database/shipper.h"

#include "tools/gang/database/schema.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace recorddb
{

namespace
{

constexpr milliseconds lock_pause{250}; // another gang is shipping from this record

const std::string check_table = "SELECT to_regclass('flasher.schema_version') IS NOT NULL";
const std::string check_version = "SELECT coalesce(max(version), 0) FROM flasher.schema_version";
const std::string add_lines = "SELECT flasher.add_lines($1::jsonb)";

// A refusal that concerns the lines themselves (a value of the wrong type, a
// field the table needs missing): the line is passed over, not retried.
bool line_refused(const failure &why)
{
    return why.sqlstate.rfind("22", 0) == 0 || why.sqlstate.rfind("23", 0) == 0;
}

} // namespace

shipper::shipper(ship_settings settings)
    : settings_(std::move(settings)), link_(settings_.conninfo),
      cursor_(settings_.record + ".cursor"), outbox_(settings_.record)
{
}

bool shipper::open(std::string &error)
{
    if (!cursor_.open(error))
        return false;
    outbox_.scan();
    outbox_.set_cursor(cursor_.read());
    return true;
}

db_state shipper::state() const
{
    switch (phase_) {
    case phase::away:
        return db_state::away;
    case phase::refused:
        return db_state::refused;
    case phase::idle:
    case phase::shipping:
        return db_state::ready;
    default:
        break;
    }
    return db_state::connecting;
}

std::optional<steady_time> shipper::deadline() const
{
    std::optional<steady_time> at = link_.deadline();
    const bool retrying = phase_ == phase::away || phase_ == phase::refused ||
                          (phase_ == phase::idle && outbox_.waiting() > 0);
    if (retrying && (!at || retry_.at < *at))
        at = retry_.at;
    return at;
}

void shipper::appended(steady_time now)
{
    outbox_.scan();
    if (phase_ == phase::idle)
        ship_next(now);
}

void shipper::set_away(const failure &why, steady_time now)
{
    link_.close();
    cursor_.unlock();
    why_ = why.message;
    if (why.refused) {
        phase_ = phase::refused;
        retry_.refused(now);
        return;
    }
    phase_ = phase::away;
    retry_.failed(now);
}

bool shipper::ask(const std::string &sql, phase next, steady_time now)
{
    const milliseconds limit =
        next == phase::shipping ? settings_.answer_limit : settings_.connect_limit;
    if (!link_.send(sql, {}, now, limit))
        return false;
    phase_ = next;
    return true;
}

void shipper::take(short revents, steady_time now)
{
    if ((phase_ == phase::away || phase_ == phase::refused) && now >= retry_.at) {
        link_.connect(now, settings_.connect_limit);
        phase_ = phase::connecting;
    }
    link_event e = link_.take(revents, now);
    switch (e.what) {
    case link_event::kind::connected:
        ask(check_table, phase::checking_table, now);
        break;
    case link_event::kind::failed:
        set_away(e.why, now);
        break;
    case link_event::kind::answered:
        on_answer(std::move(e.result), now);
        break;
    case link_event::kind::none:
        break;
    }
    if (phase_ == phase::idle && now >= retry_.at)
        ship_next(now);
}

void shipper::on_answer(pq_result result, steady_time now)
{
    if (phase_ == phase::shipping)
        on_batch_answer(result.get(), now);
    else
        on_schema_answer(result.get(), now);
}

void shipper::on_schema_answer(const PGresult *result, steady_time now)
{
    failure why;
    if (answer_failed(result, why)) {
        if (why.sqlstate == "42501")
            why.message = "the record's schema is missing or old, and this role may not make it "
                          "(run schema.sql as its owner): " +
                          why.message;
        set_away(why, now); // a failed script leaves its transaction open: start again
        return;
    }
    const char *value = PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "";
    if (phase_ == phase::checking_table) {
        if (std::string(value) == "t")
            ask(check_version, phase::checking_version, now);
        else
            ask(schema_sql, phase::creating, now);
        return;
    }
    if (phase_ == phase::checking_version) {
        const long found = std::strtol(value, nullptr, 10);
        if (found > schema_version) {
            why.refused = true;
            why.message = "the database's record schema is version " + std::to_string(found) +
                          ", newer than this flasher-gang knows (" +
                          std::to_string(schema_version) + "): use a newer flasher-gang";
            set_away(why, now);
        } else if (found < schema_version) {
            ask(schema_sql, phase::creating, now);
        } else {
            phase_ = phase::idle;
        }
    } else {
        phase_ = phase::idle; // the schema made
    }
    if (phase_ == phase::idle) {
        retry_.succeeded();
        why_.clear();
        ship_next(now);
    }
}

void shipper::ship_next(steady_time now)
{
    if (outbox_.waiting() == 0 || link_.current() != pg_link::state::ready)
        return;
    if (!cursor_.try_lock()) {
        retry_.at = now + lock_pause;
        return;
    }
    outbox_.set_cursor(cursor_.read()); // another gang may have moved it on
    while (outbox_.waiting() > 0) {
        const bool one = outbox_.cursor() < one_by_one_until_;
        const batch b = outbox_.next(one ? 1 : settings_.batch_lines, settings_.batch_bytes);
        if (b.not_json > 0 && b.end > counted_until_) // counted once, if sent again one by one
            pass_over(b.not_json, b.first_not_json, "not a JSON line");
        counted_until_ = std::max(counted_until_, b.end);
        if (b.lines == 0) {
            if (!acknowledge(b.end))
                return;
            continue;
        }
        if (!link_.send(add_lines, {b.json_array.c_str()}, now, settings_.answer_limit))
            break;
        sent_end_ = b.end;
        sent_lines_ = b.lines;
        phase_ = phase::shipping;
        return; // the lock is held until the answer
    }
    cursor_.unlock();
}

void shipper::on_batch_answer(const PGresult *result, steady_time now)
{
    phase_ = phase::idle;
    failure why;
    if (!answer_failed(result, why)) {
        if (acknowledge(sent_end_))
            ship_next(now);
        return;
    }
    if (line_refused(why)) {
        if (sent_lines_ > 1) {
            one_by_one_until_ = sent_end_; // find the line, one at a time
        } else {
            pass_over(1, outbox_.cursor(), "the database refused it: " + why.message);
            if (!acknowledge(sent_end_))
                return;
        }
        ship_next(now);
        return;
    }
    set_away(why, now);
}

bool shipper::acknowledge(std::uint64_t end)
{
    std::string error;
    if (!cursor_.write(end, error)) {
        // The lines stay waiting and go again: the database stores them once.
        why_ = error;
        cursor_.unlock();
        retry_.at = std::chrono::steady_clock::now() + longest_pause;
        return false;
    }
    outbox_.acknowledge(end);
    return true;
}

void shipper::pass_over(std::size_t lines, std::uint64_t at, const std::string &why)
{
    if (passed_over_ == 0 || at < passed_at_) { // the first in the file is named
        passed_at_ = at;
        passed_note_ = settings_.record + ": the line at byte " + std::to_string(at) +
                       " is not shipped: " + why;
    }
    passed_over_ += lines;
}

} // namespace recorddb
