#include "tools/gang/spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#else
#include <spawn.h>
#endif

#ifdef __linux__

namespace
{

// Where the child moves what it keeps before putting it in place, above
// anything it could overwrite.
constexpr int first_free_fd = 16;

// Everything the child needs, made before the fork: it may not allocate.
struct child_plan {
    const spawn_request *request;
    pid_t parent;
    int report_fd; // the exec's errno goes here when it fails; closed by a good exec
    int fd_limit;  // descriptors to close when close_range is missing
};

[[noreturn]] void fail_child(int report_fd)
{
    const int error = errno;
    [[maybe_unused]] const ssize_t n = write(report_fd, &error, sizeof error);
    _exit(127);
}

// Closes every descriptor from `from` up.
void close_from(int from, int limit)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(from), ~0U, 0U) == 0)
        return;
#endif
    for (int fd = from; fd < limit; ++fd)
        close(fd);
}

// The child, between fork and exec: async-signal-safe calls only.
[[noreturn]] void run_child(const child_plan &plan)
{
    struct sigaction default_action {
    };
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &default_action, nullptr); // KILL, STOP and the C library's own refuse
    // Dies with the gang; a gang already gone means no parent to die with.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != plan.parent)
        fail_child(plan.report_fd);
    int moved[child_fds + 1];
    for (int i = 0; i < child_fds; ++i) {
        moved[i] = fcntl(plan.request->fds[i], F_DUPFD, first_free_fd);
        if (moved[i] < 0)
            fail_child(plan.report_fd);
    }
    moved[child_fds] = fcntl(plan.report_fd, F_DUPFD_CLOEXEC, first_free_fd);
    if (moved[child_fds] < 0)
        fail_child(plan.report_fd);
    for (int i = 0; i < child_fds; ++i) {
        if (dup2(moved[i], i) < 0)
            fail_child(moved[child_fds]);
    }
    const int report = child_fds;
    if (dup2(moved[child_fds], report) < 0 || fcntl(report, F_SETFD, FD_CLOEXEC) != 0)
        fail_child(moved[child_fds]);
    close_from(report + 1, plan.fd_limit);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(plan.request->path, plan.request->argv, plan.request->envp);
    fail_child(report);
}

int open_fd_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > 65536)
        return 65536;
    return static_cast<int>(limit.rlim_cur);
}

// The exec's errno, or 0 when the exec went through (the pipe closed empty).
int read_report(int fd)
{
    int error = 0;
    ssize_t n;
    do {
        n = read(fd, &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

} // namespace

pid_t spawn_child(const spawn_request &request, int &error)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = errno;
        return -1;
    }
    const child_plan plan{&request, getpid(), report[1], open_fd_limit()};
    // No handler of the gang's may run in the child before it has reset them.
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    const pid_t pid = fork();
    if (pid == 0)
        run_child(plan);
    const int fork_error = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    close(report[1]);
    error = pid < 0 ? fork_error : read_report(report[0]);
    close(report[0]);
    if (pid < 0)
        return -1;
    if (error != 0) {
        // It never became flasher: it exits at once, and is waited for here.
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return -1;
    }
    return pid;
}

#else

pid_t spawn_child(const spawn_request &request, int &error)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int i = 0; i < child_fds; ++i)
        posix_spawn_file_actions_adddup2(&actions, request.fds[i], i);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
    // Only the descriptors named above reach the child.
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    posix_spawnattr_setflags(&attr, flags);
    pid_t pid = -1;
    error = posix_spawn(&pid, request.path, &actions, &attr, request.argv, request.envp);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

#endif
