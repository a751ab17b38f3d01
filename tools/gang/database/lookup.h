// --skip-done across stations: is a board done already, by its latest line
// at any station? Each look-up is an asynchronous query with a deadline, on
// a connection of its own, so it never waits behind a batch of lines.
#pragma once

#include "tools/gang/database/link.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace recorddb
{

struct lookup_request {
    std::string serial; // as read from the board; never empty (the caller does not ask then)
    std::string sha256; // the image's
    std::string mode;   // "firmware", "parameters" or "erase"
};

// The latest line of a serial as the database holds it.
struct latest_line {
    std::string station, run, usb_path, end, result, sha256, mode;
};

enum class lookup_verdict {
    skip,          // its latest line is ok with this image, in this mode
    flash,         // no line, or the latest is not that
    not_looked_up, // no answer in time, or the database away
};

struct lookup_answer {
    unsigned id = 0;
    lookup_verdict verdict = lookup_verdict::not_looked_up;
    std::optional<latest_line> latest; // the line that decided, when there is one
    std::string detail;                // not looked up: what went wrong
};

// The latest line decides: a board is done only when that line is ok for
// the same image and the same mode; a later failure, erase or other image
// cancels an earlier ok.
lookup_verdict decide(const std::optional<latest_line> &latest, const lookup_request &request);

class lookups
{
  public:
    lookups(std::string conninfo, milliseconds connect_limit);

    // Asks; the answer comes from take_answers() by `deadline` at the latest.
    unsigned ask(lookup_request request, steady_time deadline);
    std::vector<lookup_answer> take_answers();

    void add_fd(std::vector<pollfd> &fds) const
    {
        link_.add_fd(fds);
    }
    bool has_fd() const
    {
        return link_.has_fd();
    }
    void take(short revents, steady_time now);
    std::optional<steady_time> deadline() const;

  private:
    struct asked {
        unsigned id;
        lookup_request request;
        steady_time deadline;
    };

    void answer(unsigned id, lookup_verdict verdict, std::optional<latest_line> latest,
                std::string detail);
    void expire(steady_time now);
    void send_next(steady_time now);
    void on_result(const PGresult *result);

    pg_link link_;
    milliseconds connect_limit_;
    std::deque<asked> queue_;
    std::optional<asked> in_flight_; // empty also when its answer came too late to matter
    std::vector<lookup_answer> answers_;
    unsigned next_id_ = 1;
    retry_pause retry_;
    std::string away_; // the link's last failure, while it is away
};

} // namespace recorddb
