// --record-db: flasher-gang's record kept in PostgreSQL too, for a line of
// several stations. The local record file stays the first home of every
// line and is the outbox: each line, once written and synced there, is
// shipped to the database in order, and what the database acknowledged is
// kept as a cursor beside the file (RECORD.cursor), so nothing is lost when
// the database is away, the gang is killed or the network is cut: the next
// turn (or the next start) sends again from the cursor, and the unique key
// stores each line once.
//
// Everything here lives inside the caller's one poll loop: it adds its
// sockets, takes what poll found, and says when it must be called again.
// No call waits on the database, except start() and finish(), which wait
// at most as long as they are told.
#pragma once

#include "tools/gang/database/lookup.h"
#include "tools/gang/database/shipper.h"

#include <memory>

namespace recorddb
{

struct db_settings {
    ship_settings ship;   // the connection string, the record, batches, limits
    bool lookups = false; // --skip-done: a second connection for look-ups
};

enum class start_verdict {
    ready,   // connected, the schema checked (made when missing)
    away,    // not reached in time: the gang goes on, lines wait
    refused, // the run stops before any device is touched (status 1)
};

struct start_outcome {
    start_verdict verdict = start_verdict::away;
    std::string message; // away or refused: why, in one line
};

class record_db
{
  public:
    explicit record_db(db_settings settings);

    // Before any device is touched: checks the connection string, opens the
    // cursor, reads the record, connects and checks the schema, waiting at
    // most `wait`.
    start_outcome start(milliseconds wait);

    // The poll loop: add_fds() appends its sockets and returns how many;
    // take() gets the pollfds it added (in order; null when none) once per
    // turn, whether or not poll found anything; timeout_ms() is when it must
    // be called again (-1: only when a socket is ready).
    std::size_t add_fds(std::vector<pollfd> &fds);
    void take(const pollfd *fds, steady_time now);
    int timeout_ms(steady_time now) const;

    // Lines were appended to the record: they go out at once when they can.
    void appended(steady_time now);

    std::size_t waiting() const
    {
        return shipper_.waiting();
    }
    db_state state() const
    {
        return shipper_.state();
    }
    const std::string &why() const
    {
        return shipper_.why();
    }
    const shipper &ship() const
    {
        return shipper_;
    }

    // --skip-done: asks whether a board is done (only when started with
    // lookups); the answer comes from take_answers() by `deadline`.
    unsigned look_up(lookup_request request, steady_time deadline);
    std::vector<lookup_answer> take_answers();

    // At the end of a run: ships what waits, for at most `wait`. Returns the
    // lines still waiting.
    std::size_t finish(milliseconds wait);

  private:
    template <typename Done> void run_until(Done done, steady_time until);

    db_settings settings_;
    shipper shipper_;
    std::unique_ptr<lookups> lookups_;
    bool ship_polled_ = false, lookup_polled_ = false; // what add_fds added this turn
};

// A poll time-out that also wakes for `at` (-1: none).
int sooner_ms(int timeout_ms, std::optional<steady_time> at, steady_time now);

// "record: N lines waiting for the database", for the live view and the summary.
std::string waiting_text(std::size_t lines);

} // namespace recorddb
