#include "tools/gang/supervise.h"

#include "tools/gang/process.h"
#include "tools/gang/progress.h"
#include "tools/gang/signals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// A live display moves its seconds on this often; otherwise the loop
// sleeps until a flasher writes, ends, or a signal comes.
constexpr int live_tick_ms = 250;

void write_log(const board &b, const char *bytes, std::size_t count)
{
    if (b.log_fd >= 0 && write(b.log_fd, bytes, count) < 0)
        return; // a log that cannot be written loses lines, not the board
}

void mark_ended(board &b)
{
    b.end_wall = std::chrono::system_clock::now();
    b.end = std::chrono::steady_clock::now();
    b.phase = board_phase::ended;
}

// Takes what a pipe holds: complete lines move the board on.
void read_pipe(gang_run &run, board &b, int &fd, std::string &partial)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0) {
            close(fd);
            fd = -1;
            if (!partial.empty())
                take_flasher_line(b, partial);
            partial.clear();
            return;
        }
        write_log(b, buffer, static_cast<std::size_t>(n));
        partial.append(buffer, static_cast<std::size_t>(n));
        const board_phase before = b.phase;
        const unsigned pages_before = b.pages_reported;
        for (std::size_t eol; (eol = partial.find('\n')) != std::string::npos;) {
            take_flasher_line(b, partial.substr(0, eol));
            partial.erase(0, eol + 1);
        }
        if (b.phase != before || b.pages_reported != pages_before)
            show_phase(run.disp, b);
    }
}

// Both pipes are closed: flasher has exited (or is about to). Its exit
// status, waited for here, is the board's result.
void reap(gang_run &run, board &b)
{
    int status = 0;
    while (waitpid(b.pid, &status, 0) < 0 && errno == EINTR) {
    }
    mark_ended(b);
    if (WIFEXITED(status)) {
        b.exit_status = WEXITSTATUS(status);
        b.result = b.exit_status == 0 ? board_result::ok : board_result::failed;
    } else {
        b.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        b.result = run.interrupted ? board_result::interrupted : board_result::failed;
    }
    if (b.log_fd >= 0)
        close(b.log_fd);
    b.log_fd = -1;
    finish_board(run, b);
}

// Another board of the run (attached beside it, or at another port in a
// session) has this board's serial: the record cannot tell them apart.
bool serial_shared(const gang_run &run, const board &b)
{
    for (const board &other : run.boards) {
        if (&other != &b && other.usb_path != b.usb_path && other.serial == b.serial)
            return true;
    }
    return false;
}

// Why a board did not succeed, for its record line.
std::string reason_of(const board &b)
{
    if (!b.reason.empty())
        return b.reason;
    if (b.exit_status >= 0)
        return "flasher exited " + std::to_string(b.exit_status);
    if (b.signal > 0)
        return "flasher was ended by signal " + std::to_string(b.signal);
    return b.last_line;
}

// The record's view of a board. (What the board took, message by message,
// comes with flasher's events; until then `taken` stays unknown.)
board_line line_of(const board &b)
{
    const bool flashed = b.result != board_result::not_flashed && b.result != board_result::skipped;
    board_line line;
    line.usb_path = b.usb_path;
    line.plug_in = b.plug_in;
    line.serial = b.serial;
    line.start = b.start_wall;
    line.end = b.end_wall;
    line.seconds = flashed ? board_seconds(b, b.end) : -1;
    line.result = result_name(b.result);
    line.reason = b.result == board_result::ok ? "" : reason_of(b);
    if (b.result == board_result::skipped)
        line.done = b.done;
    line.done_lookup = b.done_lookup;
    line.exit_status = b.exit_status;
    line.signal = b.signal;
    if (flashed)
        line.last_line = b.last_line;
    return line;
}

// One round of the batch loop: waits for output, an end or a signal.
void poll_once(gang_run &run)
{
    std::vector<pollfd> fds{{run.signal_fd, POLLIN, 0}};
    std::vector<flasher_pipe> pipes;
    add_flasher_pipes(run, fds, pipes);
    if (poll(fds.data(), fds.size(), tick_ms(run)) < 0 && errno != EINTR)
        return;
    if ((fds[0].revents & POLLIN) != 0 && take_stop_signal(run.signal_fd) != 0 && !run.interrupted)
        stop_all(run);
    take_flasher_pipes(run, fds.data() + 1, pipes);
    show_tick(run.disp);
}

} // namespace

bool running(const board &b)
{
    return b.pid > 0 && b.phase != board_phase::ended;
}

bool any_running(const gang_run &run)
{
    for (const board &b : run.boards) {
        if (running(b))
            return true;
    }
    return false;
}

void finish_board(gang_run &run, board &b)
{
    const nlohmann::ordered_json record = record_line(run.facts, line_of(b));
    if (!run.records.write(json_line(record)))
        std::fprintf(stderr, "flasher-gang: %s; the line is kept and written when it can be\n",
                     run.records.error().c_str());
    if (run.done != nullptr)
        note_line(*run.done, record);
    show_ended(run.disp, b, record);
}

bool record_writable(gang_run &run, board &b)
{
    if (run.records.flush())
        return true;
    b.reason = run.records.error() + "; no board is flashed until it can be";
    end_unstarted(run, b, board_result::not_flashed);
    return false;
}

bool skip_if_done(gang_run &run, board &b)
{
    if (run.done == nullptr)
        return false;
    follow_record(*run.done);
    for (const std::string &note : take_notes(*run.done))
        std::fprintf(stderr, "flasher-gang: %s\n", note.c_str());
    const skip_answer answer = decide_skip(*run.done, b.serial, run.facts.image_sha256,
                                           run.facts.mode, serial_shared(run, b));
    b.done_lookup = answer.lookup;
    if (!answer.skip) {
        if (!answer.why.empty())
            std::fprintf(stderr, "flasher-gang: %s: %s\n", b.usb_path.c_str(), answer.why.c_str());
        return false;
    }
    b.done = answer.done;
    b.reason = answer.why;
    end_unstarted(run, b, board_result::skipped);
    return true;
}

void end_unstarted(gang_run &run, board &b, board_result result)
{
    mark_ended(b);
    b.start_wall = b.end_wall;
    b.start = b.end;
    b.result = result;
    finish_board(run, b);
}

void start_board(gang_run &run, board &b)
{
    const std::string log = run.dir + "/" + b.log_name;
    b.log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    b.start_wall = std::chrono::system_clock::now();
    b.start = std::chrono::steady_clock::now();
    started_flasher started;
    std::string error;
    if (!start_flasher(run.flasher_argv, b.usb_path, started, error)) {
        mark_ended(b);
        b.result = board_result::failed;
        b.last_line = error;
        finish_board(run, b);
        return;
    }
    b.pid = started.pid;
    b.out_fd = started.out_fd;
    b.err_fd = started.err_fd;
    show_started(run.disp, b);
}

void add_flasher_pipes(gang_run &run, std::vector<pollfd> &fds, std::vector<flasher_pipe> &pipes)
{
    for (board &b : run.boards) {
        for (int *fd : {&b.out_fd, &b.err_fd}) {
            if (running(b) && *fd >= 0) {
                fds.push_back({*fd, POLLIN, 0});
                pipes.push_back({&b, fd});
            }
        }
    }
}

void take_flasher_pipes(gang_run &run, const pollfd *fds, const std::vector<flasher_pipe> &pipes)
{
    for (std::size_t i = 0; i < pipes.size(); ++i) {
        board &b = *pipes[i].owner;
        if (fds[i].revents == 0 || *pipes[i].fd < 0)
            continue;
        read_pipe(run, b, *pipes[i].fd, pipes[i].fd == &b.out_fd ? b.out_partial : b.err_partial);
        if (b.out_fd < 0 && b.err_fd < 0)
            reap(run, b);
    }
}

void stop_all(gang_run &run)
{
    run.interrupted = true;
    for (const board &b : run.boards) {
        if (running(b))
            kill(b.pid, SIGTERM);
    }
}

int tick_ms(const gang_run &run)
{
    return run.disp.mode == display_mode::live && any_running(run) ? live_tick_ms : -1;
}

void supervise(gang_run &run)
{
    for (board &b : run.boards) {
        if (b.result == board_result::not_flashed)
            end_unstarted(run, b, board_result::not_flashed);
    }
    // Nothing starts once a stop was asked for, even before the first flasher.
    if (take_stop_signal(run.signal_fd) != 0)
        run.interrupted = true;
    for (board &b : run.boards) {
        if (b.phase == board_phase::ended)
            continue;
        if (!run.interrupted) {
            if (!skip_if_done(run, b))
                start_board(run, b);
            continue;
        }
        b.last_line = "not started";
        end_unstarted(run, b, board_result::interrupted);
    }
    while (any_running(run))
        poll_once(run);
}
