// The shipper: the record's lines after the cursor, sent to the database in
// order and in batches over one connection, the cursor moved on as each
// batch is acknowledged. On every connection it first checks the schema's
// version, and makes the schema when it is missing. A database away is
// tried again after a growing pause; nothing the shipper does waits for it.
#pragma once

#include "tools/gang/database/cursor.h"
#include "tools/gang/database/link.h"
#include "tools/gang/database/outbox.h"

#include <cstddef>
#include <string>

namespace recorddb
{

struct ship_settings {
    std::string conninfo; // checked already (conninfo_refusal)
    std::string record;   // the record file; its cursor is beside it, RECORD.cursor
    std::size_t batch_lines = 1000;
    std::size_t batch_bytes = 4 << 20;
    milliseconds connect_limit{5000}; // to connect, as to any answer on the way to ready
    milliseconds answer_limit{30000}; // for a batch's answer, before the link is dropped
};

// How the database is, as far as the shipper knows.
enum class db_state {
    connecting, // connecting, or checking the schema
    ready,      // connected; lines go out as they come
    away,       // cannot be reached now: tried again later
    refused,    // answered and refused: waiting will not mend it
};

class shipper
{
  public:
    explicit shipper(ship_settings settings);

    // Opens the cursor and reads the record. False, with the reason, when
    // the cursor cannot be opened.
    bool open(std::string &error);

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

    // Lines were appended to the record.
    void appended(steady_time now);

    std::size_t waiting() const
    {
        return outbox_.waiting();
    }
    db_state state() const;
    const std::string &why() const // away or refused: the last reason
    {
        return why_;
    }
    // Lines passed over: not JSON, or refused by the database (a field of
    // the wrong type, say); the first of them is named in `passed_note`.
    std::size_t passed_over() const
    {
        return passed_over_;
    }
    const std::string &passed_note() const
    {
        return passed_note_;
    }

  private:
    enum class phase {
        away,
        refused,
        connecting,
        checking_table,
        checking_version,
        creating,
        idle,
        shipping
    };

    void on_answer(pq_result result, steady_time now);
    void on_schema_answer(const PGresult *result, steady_time now);
    void on_batch_answer(const PGresult *result, steady_time now);
    void ship_next(steady_time now);
    bool acknowledge(std::uint64_t end);
    void pass_over(std::size_t lines, std::uint64_t at, const std::string &why);
    void set_away(const failure &why, steady_time now);
    bool ask(const std::string &sql, phase next, steady_time now);

    ship_settings settings_;
    pg_link link_;
    cursor_file cursor_;
    outbox outbox_;
    phase phase_ = phase::away;
    retry_pause retry_;                  // away, refused, or a busy lock: when to try again
    std::uint64_t sent_end_ = 0;         // the batch in flight ends here
    std::size_t sent_lines_ = 0;         // and holds this many lines
    std::uint64_t one_by_one_until_ = 0; // a batch was refused: its lines go one at a time
    std::uint64_t counted_until_ = 0;    // lines not JSON are counted up to here
    std::string why_;
    std::size_t passed_over_ = 0;
    std::string passed_note_;
    std::uint64_t passed_at_ = 0;
};

} // namespace recorddb
