// The recording a device side keeps: each transfer as it arrived, each pause
// of the host, and the names the account gives a transfer's outcome.
#include "tools/account/account.h"

namespace account
{

void record_transfer(recording &rec, std::span<const unsigned char> offered, std::size_t taken,
                     outcome result)
{
    event ev{};
    ev.is_pause = false;
    ev.offset = rec.data.size();
    ev.length = offered.size();
    ev.taken = taken < offered.size() ? taken : offered.size();
    ev.result = result;
    rec.data.insert(rec.data.end(), offered.begin(), offered.end());
    rec.events.push_back(ev);
}

void record_pause(recording &rec, unsigned int seconds)
{
    event ev{};
    ev.is_pause = true;
    ev.seconds = seconds;
    rec.events.push_back(ev);
}

std::size_t transfer_count(const recording &rec)
{
    std::size_t n = 0;
    for (const event &ev : rec.events)
        n += ev.is_pause ? 0 : 1;
    return n;
}

const char *outcome_name(outcome result)
{
    switch (result) {
    case outcome::completed:
        return "completed";
    case outcome::stalled:
        return "stalled";
    case outcome::timed_out:
        return "timed out";
    case outcome::short_taken:
        return "short";
    case outcome::gone:
        return "gone";
    }
    return "?";
}

} // namespace account
