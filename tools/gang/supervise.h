// The flashers of a run: one started per board, their pipes read as they
// come (stdout and stderr into the board's log and last line, the events
// into the board's account of each message), each reaped without waiting as
// it ends, and stopped when asked: INT, TERM or HUP sends TERM and, after a
// grace or at a second one, KILL; a board that leaves has its flasher killed
// at once. No flasher outlives its board's plug-in or the gang.
#pragma once

#include "tools/gang/board.h"
#include "tools/gang/ending.h"
#include "tools/gang/wait_set.h"

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// How long flashers asked to stop get before they are killed.
constexpr auto kill_grace = std::chrono::seconds(5);

class flasher_pool : public loop_part
{
  public:
    flasher_pool(board_sink &sink, std::vector<std::string> flasher_argv, std::string dir)
        : sink_(sink), argv_(std::move(flasher_argv)), dir_(std::move(dir))
    {
    }

    // Every board of the run; references stay valid.
    std::deque<board> boards;

    // Starts the board's flasher, its output logged to b.log_name in the run
    // directory. Once a stop was asked for, or when the flasher cannot be
    // started, the board ends instead.
    void start(board &b);
    bool any_running() const;

    // INT, TERM or HUP came, `count` times so far.
    void stop(int count);
    bool stopping() const
    {
        return stops_ > 0;
    }

    // The board left: unless its events show it took all it was to get, its
    // flasher is killed now, and the board fails as unplugged.
    void unplugged(board &b);

    void add_to(wait_set &set) override;
    void take(const wait_set &set) override;

  private:
    struct pipe_slot {
        board *owner;
        int *fd;
        std::size_t slot;
    };
    void read_ready(board &b, int &fd);
    void end_if_reaped(board &b);
    void kill_all();

    board_sink &sink_;
    std::vector<std::string> argv_;
    std::string dir_;
    std::vector<pipe_slot> slots_;
    int stops_ = 0;
    std::optional<steady_time> kill_at_;
};

// The signal pipe as a part of the loop: each round, the stops that came
// are handed on.
class signal_part : public loop_part
{
  public:
    signal_part(int fd, std::function<void(int count)> on_stop)
        : fd_(fd), on_stop_(std::move(on_stop))
    {
    }
    void add_to(wait_set &set) override;
    void take(const wait_set &set) override;

  private:
    int fd_;
    std::function<void(int)> on_stop_;
    int stops_ = 0;
};
