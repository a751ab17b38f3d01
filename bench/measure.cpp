// flasher-measure: runs one command and reports what it cost as one line of
// key=value pairs: wall time from just before exec to its exit, the user and
// system CPU time and the peak resident memory of that process with the
// children it waited for (from wait4), the CPU time of the process alone and
// of those children apart (from /proc, read before it is reaped), its exit
// status and, with --startup, the time from exec to its first bulk transfer.
//
// Usage: flasher-measure [--startup SHIM] [--out FILE] -- COMMAND ARGS...
//
// --startup preloads SHIM (the first-write shim built beside this program),
// which notes the time of the first libusb_bulk_transfer call.
#include "bench/first_write.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct options {
    const char *shim = nullptr;
    const char *out = nullptr;
    char **command = nullptr;
};

int usage()
{
    std::fputs("Usage: flasher-measure [--startup SHIM] [--out FILE] -- COMMAND ARGS...\n", stderr);
    return 2;
}

bool parse(int argc, char **argv, options &opts)
{
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if (i + 1 >= argc)
            return false;
        if (std::strcmp(argv[i], "--startup") == 0)
            opts.shim = argv[++i];
        else if (std::strcmp(argv[i], "--out") == 0)
            opts.out = argv[++i];
        else
            return false;
    }
    if (i >= argc)
        return false;
    opts.command = argv + i;
    return true;
}

std::int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t to_us(const timeval &tv)
{
    return static_cast<std::int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// Sets up the shim for the child: it is preloaded before whatever is already
// preloaded, and writes its time stamp into a pipe whose write end the child
// inherits.
bool prepare_shim(const char *shim, int pipe_fds[2])
{
    if (pipe(pipe_fds) != 0)
        return false;
    const char *before = std::getenv("LD_PRELOAD");
    std::string preload = shim;
    if (before != nullptr && *before != '\0')
        preload += std::string(":") + before;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(first_write_fd_env, std::to_string(pipe_fds[1]).c_str(), 1);
    return true;
}

// The first-write time the shim sent, or -1 when there was none.
std::int64_t read_first_write(int fd)
{
    std::int64_t stamp = -1;
    if (read(fd, &stamp, sizeof stamp) != static_cast<ssize_t>(sizeof stamp))
        return -1;
    return stamp;
}

// The CPU time of the exited, not yet reaped, `child` itself and of the
// children it waited for, in µs; -1 each when /proc cannot tell.
void split_cpu(pid_t child, std::int64_t &self_us, std::int64_t &children_us)
{
    self_us = children_us = -1;
    const std::string path = "/proc/" + std::to_string(child) + "/stat";
    std::FILE *stat = std::fopen(path.c_str(), "r");
    if (stat == nullptr)
        return;
    char text[1024] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    // The fields after the command name, which ends at the last ')'.
    const char *rest = std::strrchr(text, ')');
    unsigned long long utime = 0, stime = 0;
    long long cutime = 0, cstime = 0;
    if (n == 0 || rest == nullptr ||
        std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %lld %lld",
                    &utime, &stime, &cutime, &cstime) != 4)
        return;
    const long ticks = sysconf(_SC_CLK_TCK);
    self_us = static_cast<std::int64_t>((utime + stime) * 1000000ULL / ticks);
    children_us = static_cast<std::int64_t>((cutime + cstime) * 1000000LL / ticks);
}

} // namespace

int main(int argc, char **argv)
{
    options opts;
    if (!parse(argc, argv, opts))
        return usage();

    int shim_pipe[2] = {-1, -1};
    if (opts.shim != nullptr && !prepare_shim(opts.shim, shim_pipe)) {
        std::perror("flasher-measure: pipe");
        return 2;
    }

    const std::int64_t start = now_ns();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("flasher-measure: fork");
        return 2;
    }
    if (child == 0) {
        if (shim_pipe[0] >= 0)
            close(shim_pipe[0]);
        execvp(opts.command[0], opts.command);
        std::fprintf(stderr, "flasher-measure: cannot run %s: %s\n", opts.command[0],
                     std::strerror(errno));
        _exit(127);
    }
    if (shim_pipe[1] >= 0)
        close(shim_pipe[1]);

    // Waited for without reaping first, so that its /proc entry still tells
    // its own CPU time apart from its children's.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    std::int64_t self_us = -1, children_us = -1;
    split_cpu(child, self_us, children_us);
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const std::int64_t end = now_ns();
    const std::int64_t first_write = shim_pipe[0] >= 0 ? read_first_write(shim_pipe[0]) : -1;

    const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::FILE *out = opts.out != nullptr ? std::fopen(opts.out, "a") : stdout;
    if (out == nullptr) {
        std::perror("flasher-measure: output file");
        return 2;
    }
    std::fprintf(out,
                 "wall_us=%" PRId64 " user_us=%" PRId64 " sys_us=%" PRId64 " cpu_us=%" PRId64
                 " maxrss_kib=%ld status=%d startup_us=%" PRId64 " self_cpu_us=%" PRId64
                 " children_cpu_us=%" PRId64 "\n",
                 (end - start) / 1000, to_us(usage.ru_utime), to_us(usage.ru_stime),
                 to_us(usage.ru_utime) + to_us(usage.ru_stime), usage.ru_maxrss, exit_status,
                 first_write < 0 ? -1 : (first_write - start) / 1000, self_us, children_us);
    if (out != stdout)
        std::fclose(out);
    return exit_status;
}
