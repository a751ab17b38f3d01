// Runs the command: with the shim and umockdev preloaded into it, the
// control server answering its reports and the hotplug timeline playing,
// until it ends.
#include "tools/vdev/command.h"
#include "tools/vdev/control.h"
#include "tools/vdev/hotplug.h"

#include <umockdev.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#ifndef FLASHER_VDEV_SHIM_RELDIR
#error "the build must define FLASHER_VDEV_SHIM_RELDIR (the shim's directory from the program's)"
#endif

namespace vdev
{

namespace
{

constexpr const char *shim_name = "libflasher_vdev_shim.so";

// Where the sleep shim is, given this program's directory (with its trailing
// '/'): next to it in the build tree, else in the private library directory
// of an installed copy. Both are relative to the program, so a tree moved or
// unpacked under another prefix still finds its own shim and never one of
// another build. "" when neither is there.
std::string shim_path_from(const std::string &exe_dir)
{
    const std::string candidates[] = {
        exe_dir + shim_name,
        exe_dir + FLASHER_VDEV_SHIM_RELDIR + "/" + shim_name,
    };
    for (const std::string &path : candidates) {
        if (access(path.c_str(), R_OK) == 0)
            return path;
    }
    return "";
}

std::string shim_path()
{
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return "";
    exe[n] = '\0';
    std::string dir(exe);
    dir.resize(dir.rfind('/') + 1); // keep up to the last '/'
    return shim_path_from(dir);
}

// The command as it runs: its process, the loop that serves it until it
// ends, and what it is served.
struct run {
    GMainLoop *loop = nullptr;
    pid_t child = -1;
    int status = 0;
    control_server server;
    hotplug_timeline timeline;
};

void on_child_exit(GPid, gint status, gpointer user)
{
    auto *r = static_cast<run *>(user);
    r->status = status;
    g_main_loop_quit(r->loop);
}

void set_preload(const std::string &shim)
{
    // The shim goes first, so that its open() and close() see the command's
    // calls before umockdev's do.
    std::string preload = shim + ":libumockdev-preload.so.0";
    if (const char *old = std::getenv("LD_PRELOAD"); old != nullptr && old[0] != '\0')
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
}

// The command starts with the signals a shell would give it: what this
// process ignores (SIGPIPE, once umockdev is up) would stay ignored across
// exec, and a reader that goes away would not end the command as it should.
void restore_default_signals()
{
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old {
        };
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            std::signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Forks and execs the command with the shim preloaded and the control
// socket named. Returns its pid, or -1 with `exec_errno` set when it could
// not be started.
pid_t start_command(const options &opt, const std::string &shim, const std::string &control,
                    int &exec_errno)
{
    int exec_error[2];
    if (pipe2(exec_error, O_CLOEXEC) != 0) {
        exec_errno = errno;
        return -1;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(exec_error[0]);
        setenv("FLASHER_VDEV_CONTROL", control.c_str(), 1);
        set_preload(shim);
        restore_default_signals();
        execvp(opt.command[0], opt.command);
        int e = errno;
        if (write(exec_error[1], &e, sizeof e) < 0)
            _exit(exit_cannot_start);
        _exit(exit_cannot_start);
    }
    exec_errno = errno;
    close(exec_error[1]);
    if (pid > 0) {
        // Closed by a successful exec; holds errno when exec failed.
        if (read(exec_error[0], &exec_errno, sizeof exec_errno) ==
            static_cast<ssize_t>(sizeof exec_errno)) {
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    close(exec_error[0]);
    return pid;
}

} // namespace

int run_command(const options &opt, UMockdevTestbed *testbed)
{
    // Without the shim the command would sleep for real and its opens go
    // unreported: a misplaced install must not pass for a working one.
    const std::string shim = shim_path();
    if (shim.empty()) {
        std::fprintf(stderr, "flasher-vdev: cannot find %s beside the program or in %s from it\n",
                     shim_name, FLASHER_VDEV_SHIM_RELDIR);
        return exit_cannot_start;
    }
    run r;
    r.server.fast_pauses = opt.fast_pauses;
    r.loop = g_main_loop_new(nullptr, FALSE);
    std::string control, error;
    int status = exit_cannot_start;
    const gint64 start_us = g_get_monotonic_time();
    if (!listen_for_reports(testbed, r.server, control, error)) {
        std::fprintf(stderr, "flasher-vdev: %s\n", error.c_str());
    } else if (int e = 0; (r.child = start_command(opt, shim, control, e)) < 0) {
        std::fprintf(stderr, "flasher-vdev: cannot start %s: %s\n", opt.command[0],
                     std::strerror(e));
    } else {
        g_child_watch_add(r.child, on_child_exit, &r);
        start_timeline(r.timeline, testbed, start_us);
        g_main_loop_run(r.loop);
        stop_timeline(r.timeline);
        status = WIFEXITED(r.status)     ? WEXITSTATUS(r.status)
                 : WIFSIGNALED(r.status) ? 128 + WTERMSIG(r.status)
                                         : 1;
    }
    stop_listening(r.server);
    g_main_loop_unref(r.loop);
    return status;
}

} // namespace vdev
