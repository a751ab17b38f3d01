// How the gang starts, reaps and stops its flashers, judged from the
// outside: what a started program finds itself given (its descriptors, its
// signals), what is left open here when a start fails, a failed waitpid,
// and a child that outlives the process that started it.
#include "in_child.h"
#include "support.h"
#include "tools/gang/process.h"
#include "tools/gang/signals.h"
#include "tools/gang/snapshot.h"
#include "tools/gang/wait_set.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

namespace
{

using namespace std::chrono_literals;

// Generous: these machines are shared and slow at times.
constexpr auto deadline = 20s;

std::set<std::string> open_descriptors()
{
    std::set<std::string> fds;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return fds;
    const std::string own = std::to_string(dirfd(dir));
    for (dirent *e = readdir(dir); e != nullptr; e = readdir(dir)) {
        if (e->d_name[0] != '.' && e->d_name != own)
            fds.insert(e->d_name);
    }
    closedir(dir);
    return fds;
}

// Everything `fd` gives until its end, waiting at most the deadline.
std::string read_to_end(int fd)
{
    std::string all;
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            break;
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
}

// Reaps the flasher, asking without waiting as the gang does, until the
// deadline.
bool reaped_in_time(flasher_process &p)
{
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!reap_if_ended(p)) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        pollfd none{-1, 0, 0};
        poll(&none, 1, 10);
    }
    return true;
}

flasher_process launched(const support::scratch_dir &dir, const std::string &script)
{
    flasher_process p;
    std::string error;
    EXPECT_TRUE(launch_flasher({{"/bin/sh", "-c", script}, "1-4", dir.file("log")}, p, error))
        << error;
    return p;
}

// The child gets stdin, stdout, stderr and the events pipe, nothing else,
// whatever this process has open; FLASHER_USBPATH and FLASHER_EVENTS_FD
// name its board and its pipe; and its signals are at their defaults,
// none blocked, whatever this process ignores or blocks.
TEST(Launch, TheFlasherGetsItsPipesAndItsSignalsAndNothingElse)
{
    support::scratch_dir dir;
    const int stray = open("/dev/null", O_RDONLY); // not close-on-exec
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);
    sigset_t blocked, before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &before);
    flasher_process p = launched(
        dir, "ls /proc/$$/fd | tr '\\n' ' '; echo; echo \"$FLASHER_USBPATH $FLASHER_EVENTS_FD\";"
             "echo to-events >&3; echo to-err >&2; exec grep -E '^Sig(Ign|Blk)' /proc/self/status");
    sigprocmask(SIG_SETMASK, &before, nullptr);
    std::signal(SIGINT, SIG_DFL);
    close(stray);
    EXPECT_EQ(read_to_end(p.out_fd), "0 1 2 3 \n1-4 3\nSigBlk:\t0000000000000000\n"
                                     "SigIgn:\t0000000000000000\n");
    EXPECT_EQ(read_to_end(p.events_fd), "to-events\n");
    EXPECT_EQ(read_to_end(p.err_fd), "to-err\n");
    ASSERT_TRUE(reaped_in_time(p));
    EXPECT_TRUE(p.exit.waited);
    EXPECT_EQ(p.exit.exit_status, 0);
    close_descriptors(p);
}

// A program that cannot be started leaves nothing open here, and says why.
TEST(Launch, AFlasherThatCannotStartLeavesNoDescriptor)
{
    support::scratch_dir dir;
    const std::set<std::string> before = open_descriptors();
    flasher_process p;
    std::string error;
    EXPECT_FALSE(launch_flasher({{dir.file("missing")}, "1-1", dir.file("log")}, p, error));
    EXPECT_EQ(error, "cannot start " + dir.file("missing") + ": No such file or directory");
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(p.pid, -1);
}

// A waitpid that fails is an end, never a success.
TEST(Reap, AFailedWaitIsNoExitStatus)
{
    support::scratch_dir dir;
    flasher_process p = launched(dir, "exit 1");
    ASSERT_GT(p.pid, 0);
    // Another takes its status first, as the kernel does for a parent that
    // ignores SIGCHLD.
    int status = 0;
    ASSERT_EQ(waitpid(p.pid, &status, 0), p.pid);
    EXPECT_TRUE(reap_if_ended(p));
    EXPECT_FALSE(p.exit.waited);
    EXPECT_EQ(p.exit.wait_error, ECHILD);
    EXPECT_EQ(p.exit.exit_status, -1);
    close_descriptors(p);
}

// A parent that ignores SIGCHLD and blocks INT: the gang still gets its
// flashers' exit statuses, and still hears INT.
TEST(Signals, WhatTheParentLeftIsPutBack)
{
    support::scratch_dir dir;
    const nlohmann::json result = support::in_child([&dir]() -> nlohmann::json {
        std::signal(SIGCHLD, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGINT);
        sigprocmask(SIG_BLOCK, &blocked, nullptr);
        const int fd = catch_signals();
        flasher_process p;
        std::string error;
        if (!launch_flasher({{"/bin/sh", "-c", "exit 3"}, "1-1", dir.file("log")}, p, error))
            return 10;
        if (!reaped_in_time(p) || !p.exit.waited || p.exit.exit_status != 3)
            return 11;
        raise(SIGINT);
        const signal_news news = take_signals(fd);
        return stop_requested() && news.stops == 1 && news.child ? 0 : 12;
    });
    EXPECT_EQ(result, 0);
}

// INT that came before the gang started to wait for its input (a FIFO no
// one writes to) still stops the wait.
TEST(Signals, AStopBeforeABlockingOpenIsNotLost)
{
    support::scratch_dir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const nlohmann::json result = support::in_child([&dir, &fifo]() -> nlohmann::json {
        catch_signals();
        raise(SIGINT); // handled now: nothing is blocked yet to notice it
        const stop_watch_during_wait watching;
        snapshot snap;
        std::string error;
        const bool taken = take_snapshot(fifo, dir.file("input.bin"), snap, error, stop_requested);
        return !taken && stop_requested() ? 0 : 1;
    });
    EXPECT_EQ(result, 0);
}

// A gang killed with SIGKILL takes its flashers with it (Linux).
TEST(Launch, AFlasherDiesWithTheGang)
{
    support::scratch_dir dir;
    // Orphans come to this process, which can then wait for the flasher.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t gang = fork();
    if (gang == 0) {
        flasher_process p;
        std::string error;
        if (!launch_flasher({{"/bin/sleep", "60"}, "1-1", dir.file("log")}, p, error))
            _exit(1);
        [[maybe_unused]] const ssize_t n = write(report[1], &p.pid, sizeof p.pid);
        pause();
        _exit(0);
    }
    close(report[1]);
    pid_t flasher = -1;
    ASSERT_EQ(read(report[0], &flasher, sizeof flasher), static_cast<ssize_t>(sizeof flasher));
    close(report[0]);
    kill(gang, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(gang, &status, 0), gang);
    // The flasher is now this process's: it must end long before its 60 s.
    const auto until = std::chrono::steady_clock::now() + deadline;
    pid_t got = 0;
    while ((got = waitpid(flasher, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < until) {
        pollfd none{-1, 0, 0};
        poll(&none, 1, 10);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    if (got == 0) {
        kill(flasher, SIGKILL);
        waitpid(flasher, &status, 0);
    }
    ASSERT_EQ(got, flasher) << "the flasher outlived the gang";
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

// A round of the loop does not sleep while something already waits.
TEST(WaitSet, WakeNowDoesNotSleep)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    wait_set set;
    set.watch(ends[0]); // never readable
    set.wake_by(std::chrono::steady_clock::now() + 60s);
    set.wake_now();
    const auto before = std::chrono::steady_clock::now();
    set.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
    EXPECT_FALSE(set.ready(0));
    close(ends[0]);
    close(ends[1]);
}

} // namespace
