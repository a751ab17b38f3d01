// --skip-done before each flash: a usable board is skipped when its latest
// line is ok for this image, else its flasher is started. Without
// --record-db the record decides at once. With it, the database is asked
// for the board's latest line at any station, and the board waits for the
// answer, a few hundred milliseconds at most, while everything else goes
// on: the later of the database's line and the record's decides, and a
// database that does not answer in time means the board is flashed, its
// line saying it was not looked up. A serial that is empty or shared is
// never skipped and never asked about.
#pragma once

#include "tools/gang/supervise.h"

#include <chrono>
#include <map>

class done_check : public loop_part
{
  public:
    done_check(board_sink &sink, flasher_pool &pool, std::chrono::milliseconds wait)
        : sink_(sink), pool_(pool), wait_(wait)
    {
    }

    // A usable board: ended as skipped when it is done, else its flasher
    // started, now or once the database has answered. `serial_shared`:
    // another board attached (or at another port of the session) has its
    // serial.
    void flash_unless_done(board &b, bool serial_shared);

    // A board waits for its answer.
    bool pending() const
    {
        return !asked_.empty();
    }

    // The board left before its answer came: it ends not flashed, and the
    // answer, when it comes, is dropped.
    void left(board &b);

    void add_to(wait_set &set) override;
    // Takes the answers; once a stop was asked for, every board still
    // waiting ends as its flasher would have (stopped before it started).
    void take(const wait_set &set) override;

  private:
    void settle(board &b, const skip_answer &answer);

    board_sink &sink_;
    flasher_pool &pool_;
    std::chrono::milliseconds wait_;
    std::map<unsigned, board *> asked_; // by look-up
};
