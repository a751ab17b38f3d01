#include "tools/gang/process.h"

#include "tools/gang/spawn.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __APPLE__
#include <mach-o/dyld.h>
// unistd.h declares it only on Linux.
extern char **environ;
#endif

namespace
{

// A descriptor closed when it goes, unless released.
class owned_fd
{
  public:
    explicit owned_fd(int fd = -1) : fd_(fd) {}
    ~owned_fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;
    int get() const
    {
        return fd_;
    }
    void reset(int fd)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// A pipe whose ends are closed across exec (the child gets its end by a
// dup2, which clears the flag on the copy).
bool make_pipe(owned_fd &read_end, owned_fd &write_end, std::string &error)
{
    int ends[2];
#ifdef __linux__
    const bool made = pipe2(ends, O_CLOEXEC) == 0;
#else
    const bool made = pipe(ends) == 0;
    if (made) {
        fcntl(ends[0], F_SETFD, FD_CLOEXEC);
        fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    }
#endif
    if (!made) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return true;
}

// The environment with FLASHER_USBPATH and FLASHER_EVENTS_FD set for it.
std::vector<std::string> flasher_environment(const std::string &usb_path)
{
    static const std::string replaced[] = {"FLASHER_USBPATH=", "FLASHER_EVENTS_FD="};
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        bool ours = false;
        for (const std::string &name : replaced)
            ours = ours || std::strncmp(*e, name.c_str(), name.size()) == 0;
        if (!ours)
            env.emplace_back(*e);
    }
    env.push_back(replaced[0] + usb_path);
    env.push_back(replaced[1] + std::to_string(flasher_events_fd));
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

bool launch_flasher(const launch_request &request, flasher_process &process, std::string &error)
{
    owned_fd out_read, out_write, err_read, err_write, events_read, events_write;
    if (!make_pipe(out_read, out_write, error) || !make_pipe(err_read, err_write, error) ||
        !make_pipe(events_read, events_write, error))
        return false;
    const owned_fd devnull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (devnull.get() < 0) {
        error = std::string("cannot open /dev/null: ") + std::strerror(errno);
        return false;
    }
    // A log that cannot be made loses the lines, not the board.
    owned_fd log(open(request.log_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    std::vector<std::string> args = request.argv, env = flasher_environment(request.usb_path);
    const std::vector<char *> arg_list = pointers(args), env_list = pointers(env);
    const spawn_request spawn{
        arg_list[0],
        arg_list.data(),
        env_list.data(),
        {devnull.get(), out_write.get(), err_write.get(), events_write.get()}};
    int spawn_error = 0;
    const pid_t pid = spawn_child(spawn, spawn_error);
    if (pid < 0) {
        error = "cannot start " + request.argv[0] + ": " + std::strerror(spawn_error);
        return false;
    }
    for (const owned_fd *fd : {&out_read, &err_read, &events_read})
        fcntl(fd->get(), F_SETFL, O_NONBLOCK);
    process = {};
    process.pid = pid;
    process.out_fd = out_read.release();
    process.err_fd = err_read.release();
    process.events_fd = events_read.release();
    process.log_fd = log.release();
    return true;
}

bool reap_if_ended(flasher_process &process)
{
    if (process.reaped)
        return true;
    int status = 0;
    pid_t got;
    do {
        got = waitpid(process.pid, &status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == 0)
        return false;
    process.reaped = true;
    if (got < 0) {
        process.exit.wait_error = errno;
        return true;
    }
    process.exit.waited = true;
    if (WIFEXITED(status))
        process.exit.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        process.exit.signal = WTERMSIG(status);
    return true;
}

void signal_flasher(const flasher_process &process, int sig)
{
    if (process.pid > 0 && !process.reaped)
        kill(process.pid, sig);
}

void close_descriptors(flasher_process &process)
{
    for (int *fd : {&process.out_fd, &process.err_fd, &process.events_fd, &process.log_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
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
