#include "tools/gang/supervise.h"

#include "tools/gang/process.h"
#include "tools/gang/progress.h"
#include "tools/gang/signals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// A live display moves its seconds on this often; otherwise the loop
// sleeps until a flasher writes, ends, or a signal comes.
constexpr int live_tick_ms = 250;

bool running(const board &b)
{
    return b.pid > 0 && b.phase != board_phase::ended;
}

void write_log(const board &b, const char *bytes, std::size_t count)
{
    if (b.log_fd >= 0 && write(b.log_fd, bytes, count) < 0)
        return; // a log that cannot be written loses lines, not the board
}

void start_board(gang_run &run, board &b)
{
    const std::string log = run.dir + "/" + b.usb_path + ".log";
    b.log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    b.start_wall = std::chrono::system_clock::now();
    b.start = std::chrono::steady_clock::now();
    started_flasher started;
    std::string error;
    if (!start_flasher(run.flasher_argv, b.usb_path, started, error)) {
        b.phase = board_phase::ended;
        b.result = board_result::failed;
        b.last_line = error;
        b.end_wall = std::chrono::system_clock::now();
        b.end = std::chrono::steady_clock::now();
        finish_board(run, b);
        return;
    }
    b.pid = started.pid;
    b.out_fd = started.out_fd;
    b.err_fd = started.err_fd;
    show_started(run.disp, run.boards, b);
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
            show_phase(run.disp, run.boards, b);
    }
}

// Both pipes are closed: flasher has exited (or is about to). Its exit
// status, waited for here, is the board's result.
void reap(gang_run &run, board &b)
{
    int status = 0;
    while (waitpid(b.pid, &status, 0) < 0 && errno == EINTR) {
    }
    b.end_wall = std::chrono::system_clock::now();
    b.end = std::chrono::steady_clock::now();
    b.phase = board_phase::ended;
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

// Interrupted before its flasher started: on record, untouched.
void never_started(gang_run &run, board &b)
{
    b.start_wall = b.end_wall = std::chrono::system_clock::now();
    b.start = b.end = std::chrono::steady_clock::now();
    b.phase = board_phase::ended;
    b.result = board_result::interrupted;
    b.last_line = "not started";
    finish_board(run, b);
}

void stop_all(gang_run &run)
{
    run.interrupted = true;
    for (const board &b : run.boards) {
        if (running(b))
            kill(b.pid, SIGTERM);
    }
}

// One round of the loop: waits for output, an end or a signal.
void poll_once(gang_run &run)
{
    std::vector<pollfd> fds{{run.signal_fd, POLLIN, 0}};
    std::vector<std::pair<board *, int *>> owners{{nullptr, nullptr}};
    for (board &b : run.boards) {
        for (int *fd : {&b.out_fd, &b.err_fd}) {
            if (running(b) && *fd >= 0) {
                fds.push_back({*fd, POLLIN, 0});
                owners.emplace_back(&b, fd);
            }
        }
    }
    const int timeout = run.disp.mode == display_mode::live ? live_tick_ms : -1;
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
        return;
    if ((fds[0].revents & POLLIN) != 0 && take_stop_signal(run.signal_fd) != 0 && !run.interrupted)
        stop_all(run);
    for (std::size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0)
            continue;
        board &b = *owners[i].first;
        read_pipe(run, b, *owners[i].second,
                  owners[i].second == &b.out_fd ? b.out_partial : b.err_partial);
        if (b.out_fd < 0 && b.err_fd < 0)
            reap(run, b);
    }
    show_tick(run.disp, run.boards);
}

bool any_running(const gang_run &run)
{
    for (const board &b : run.boards) {
        if (running(b))
            return true;
    }
    return false;
}

} // namespace

void finish_board(gang_run &run, board &b)
{
    const nlohmann::ordered_json record = board_record(run.facts, b);
    const std::string line = json_line(record);
    for (const int fd : {run.own_record_fd, run.record_fd}) {
        if (fd >= 0 && !append_record(fd, line))
            run.record_failed = true;
    }
    show_ended(run.disp, run.boards, b, record);
}

void supervise(gang_run &run)
{
    for (board &b : run.boards) {
        if (b.result != board_result::not_flashed)
            continue;
        // It ends where the run found it unusable.
        b.start_wall = b.end_wall = std::chrono::system_clock::now();
        b.start = b.end = std::chrono::steady_clock::now();
        finish_board(run, b);
    }
    // Nothing starts once a stop was asked for, even before the first flasher.
    if (take_stop_signal(run.signal_fd) != 0)
        run.interrupted = true;
    for (board &b : run.boards) {
        if (b.result != board_result::none)
            continue;
        if (run.interrupted)
            never_started(run, b);
        else
            start_board(run, b);
    }
    while (any_running(run))
        poll_once(run);
}
