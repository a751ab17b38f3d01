#include "tools/gang/supervise.h"

#include "tools/gang/signals.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace
{

void mark_started(board &b)
{
    b.start_wall = std::chrono::system_clock::now();
    b.start = std::chrono::steady_clock::now();
}

void write_log(const board &b, const char *bytes, std::size_t count)
{
    if (b.process.log_fd >= 0 && write(b.process.log_fd, bytes, count) < 0)
        return; // a log that cannot be written loses lines, not the board
}

// Lines of flasher's stdout or stderr: only the last one is kept, as it
// came, for the record and the table (each makes it printable).
void take_output(board &b, std::string &partial, const char *bytes, std::size_t count)
{
    write_log(b, bytes, count);
    partial.append(bytes, count);
    std::size_t from = 0;
    for (std::size_t eol; (eol = partial.find('\n', from)) != std::string::npos; from = eol + 1)
        b.last_line = partial.substr(from, eol - from);
    partial.erase(0, from);
}

void take_eof(board &b, std::string &partial)
{
    if (!partial.empty())
        b.last_line = partial;
    partial.clear();
}

} // namespace

void flasher_pool::start(board &b)
{
    mark_started(b);
    if (stop_requested() || stopping()) {
        end_unstarted(sink_, b, board_result::interrupted, "stopped before its flasher started");
        return;
    }
    std::string error;
    if (!launch_flasher({argv_, b.found.usb_path, dir_ + "/" + b.log_name}, b.process, error)) {
        end_unstarted(sink_, b, board_result::failed, error);
        return;
    }
    b.started = true;
    show_started(sink_.disp, b);
}

bool flasher_pool::any_running() const
{
    for (const board &b : boards) {
        if (running(b))
            return true;
    }
    return false;
}

void flasher_pool::stop(int count)
{
    const bool first = stops_ == 0;
    stops_ = count;
    for (board &b : boards) {
        if (running(b) && b.stopped == stop_cause::none)
            b.stopped = stop_cause::interrupted;
    }
    if (!first) {
        kill_all();
        return;
    }
    for (const board &b : boards) {
        if (running(b))
            signal_flasher(b.process, SIGTERM);
    }
    kill_at_ = std::chrono::steady_clock::now() + kill_grace;
}

void flasher_pool::unplugged(board &b)
{
    // What flasher has already told of its messages counts: the departure
    // may be heard in the same round as its last events.
    if (running(b) && b.process.events_fd >= 0)
        read_ready(b, b.process.events_fd);
    if (!running(b) || all_taken(sink_.plan, b.events.tally))
        return;
    b.stopped = stop_cause::unplugged;
    signal_flasher(b.process, SIGKILL);
}

void flasher_pool::kill_all()
{
    for (const board &b : boards) {
        if (running(b))
            signal_flasher(b.process, SIGKILL);
    }
    kill_at_.reset();
}

void flasher_pool::add_to(wait_set &set)
{
    slots_.clear();
    for (board &b : boards) {
        if (!running(b))
            continue;
        for (int *fd : {&b.process.out_fd, &b.process.err_fd, &b.process.events_fd}) {
            if (*fd >= 0)
                slots_.push_back({&b, fd, set.watch(*fd)});
        }
    }
    if (kill_at_ && any_running())
        set.wake_by(*kill_at_);
}

void flasher_pool::read_ready(board &b, int &fd)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        const bool events = &fd == &b.process.events_fd;
        std::string &partial = &fd == &b.process.out_fd ? b.out_partial : b.err_partial;
        if (n <= 0) {
            close(fd);
            fd = -1;
            if (!events)
                take_eof(b, partial);
            return;
        }
        const auto count = static_cast<std::size_t>(n);
        if (!events)
            take_output(b, partial, buffer, count);
        else if (take_event_bytes(b.events, std::string_view(buffer, count)))
            show_phase(sink_.disp, b);
    }
}

// A flasher that has ended: what its pipes still hold is read (it wrote
// all of it before it exited), and the board is judged.
void flasher_pool::end_if_reaped(board &b)
{
    if (!reap_if_ended(b.process))
        return;
    for (int *fd : {&b.process.out_fd, &b.process.err_fd, &b.process.events_fd}) {
        if (*fd >= 0)
            read_ready(b, *fd);
    }
    close_descriptors(b.process);
    end_flashed(sink_, b);
}

void flasher_pool::take(const wait_set &set)
{
    for (const pipe_slot &s : slots_) {
        if (set.ready(s.slot) && *s.fd >= 0)
            read_ready(*s.owner, *s.fd);
    }
    slots_.clear();
    for (board &b : boards) {
        if (running(b))
            end_if_reaped(b);
    }
    if (kill_at_ && std::chrono::steady_clock::now() >= *kill_at_)
        kill_all();
}

void signal_part::add_to(wait_set &set)
{
    set.watch(fd_);
}

void signal_part::take(const wait_set &)
{
    // Read every round: a stop that came before the loop began is in the
    // pipe too.
    const signal_news news = take_signals(fd_);
    if (news.stops == 0)
        return;
    stops_ += news.stops;
    on_stop_(stops_);
}
