#include "tools/gang/process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <spawn.h>
#include <unistd.h>

#ifdef __APPLE__
#include <mach-o/dyld.h>
// unistd.h declares it only on Linux.
extern char **environ;
#endif

namespace
{

// The environment with FLASHER_USBPATH replaced.
std::vector<std::string> pinned_environment(const std::string &usb_path)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "FLASHER_USBPATH=", 16) != 0)
            env.emplace_back(*e);
    }
    env.push_back("FLASHER_USBPATH=" + usb_path);
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &texts)
{
    std::vector<char *> list;
    for (std::string &t : texts)
        list.push_back(t.data());
    list.push_back(nullptr);
    return list;
}

// A pipe whose ends are closed across exec; the child gets its write end as
// stdout or stderr through a dup2, which clears that flag on the copy.
bool make_pipe(int ends[2])
{
#ifdef __linux__
    return pipe2(ends, O_CLOEXEC) == 0;
#else
    if (pipe(ends) != 0)
        return false;
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    return true;
#endif
}

std::string this_program()
{
    char path[PATH_MAX];
#ifdef __APPLE__
    std::uint32_t size = sizeof path;
    if (_NSGetExecutablePath(path, &size) != 0)
        return "";
    char real[PATH_MAX];
    return realpath(path, real) != nullptr ? real : "";
#else
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    path[n] = '\0';
    return path;
#endif
}

} // namespace

bool start_flasher(const std::vector<std::string> &argv, const std::string &usb_path,
                   started_flasher &started, std::string &error)
{
    int out[2], err[2];
    if (!make_pipe(out)) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    if (!make_pipe(err)) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        close(out[0]);
        close(out[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> args = argv, env = pinned_environment(usb_path);
    std::vector<char *> arg_list = pointers(args), env_list = pointers(env);
    // flasher starts with the signals a shell would give it: what this
    // process ignores or blocks would otherwise stay so across the exec.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGXFSZ})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, arg_list[0], &actions, &attr, arg_list.data(), env_list.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        error = "cannot start " + argv[0] + ": " + std::strerror(spawned);
        close(out[0]);
        close(err[0]);
        return false;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    started = {pid, out[0], err[0]};
    return true;
}

std::string flasher_beside_this_program()
{
    const std::string self = this_program();
    const std::size_t slash = self.rfind('/');
    if (slash == std::string::npos)
        return "";
    const std::string flasher = self.substr(0, slash + 1) + "flasher";
    return access(flasher.c_str(), X_OK) == 0 ? flasher : "";
}
