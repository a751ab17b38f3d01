// The gang's one poll loop. Each round, every part of the program names the
// descriptors it waits on and the moment it must next act (a retry due, the
// live view's tick, a flasher to kill); the loop sleeps until the first of
// them, then hands each part what woke. A part added later (another source
// of events) brings its own descriptors and deadlines, and nothing else
// changes.
#pragma once

#include <chrono>
#include <cstddef>
#include <poll.h>
#include <vector>

using steady_time = std::chrono::steady_clock::time_point;

class wait_set
{
  public:
    // Waits on `fd` for `events`; returns its slot.
    std::size_t watch(int fd, short events = POLLIN);
    // Wakes no later than `when`.
    void wake_by(steady_time when);
    // Does not sleep at all this round (something is already waiting).
    void wake_now();

    // Sleeps until a descriptor is ready or the first deadline passes.
    void wait();

    short revents(std::size_t slot) const;
    // The descriptors from `slot` on, as poll left them (for a part that
    // hands a run of them to a library); null past the end.
    const pollfd *polled(std::size_t slot) const;
    bool ready(std::size_t slot) const
    {
        return revents(slot) != 0;
    }

  private:
    std::vector<pollfd> fds_;
    bool has_deadline_ = false;
    bool now_ = false;
    steady_time deadline_{};
};

// One part of the loop.
class loop_part
{
  public:
    virtual ~loop_part() = default;
    // Names what it waits on, for this round.
    virtual void add_to(wait_set &set) = 0;
    // Takes what woke it (or what is due).
    virtual void take(const wait_set &set) = 0;
};

// Runs rounds over `parts`, in order, until `finished()` says so (asked
// before each round).
template <typename Finished> void run_loop(const std::vector<loop_part *> &parts, Finished finished)
{
    while (!finished()) {
        wait_set set;
        for (loop_part *part : parts)
            part->add_to(set);
        set.wait();
        for (loop_part *part : parts)
            part->take(set);
    }
}
