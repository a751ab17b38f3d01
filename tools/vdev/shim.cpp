// Preloaded into the command that flasher-vdev runs, ahead of umockdev's
// preload. It reports to flasher-vdev every sleep() and every open() and
// close() of a usbfs device node, and waits for the answer each time, so the
// report lands in order with the transfers around it. For a sleep the answer
// says whether to sleep for real or return at once.
//
// FLASHER_VDEV_CONTROL names the unix socket flasher-vdev listens on. Every
// process of the command (a command may start several flashers at once)
// connects on its first report and talks over a connection of its own, so
// answers never cross between processes and flasher-vdev knows which process
// a pause belongs to. Without the variable every call goes straight through.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

// The channel is reached by raw system calls: umockdev's preload wraps
// socket(), connect(), read(), write() and close() for its own devices, and
// this socket is none of them.
long sys_close(int fd)
{
    return syscall(SYS_close, fd);
}

// Out of the way of the low descriptors a command may close and reopen (as
// flasher does with its standard streams), and closed across exec.
constexpr int channel_fd_floor = 200;

struct channel {
    std::mutex lock;
    pid_t pid = -1; // the process that made `fd`; another one must connect anew
    int fd = -1;
};
channel control;

int connect_channel()
{
    const char *path = std::getenv("FLASHER_VDEV_CONTROL");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path == nullptr || std::strlen(path) >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path, std::strlen(path) + 1);
    auto fd = static_cast<int>(syscall(SYS_socket, AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd < 0)
        return -1;
    if (syscall(SYS_connect, fd, &addr, sizeof addr) != 0) {
        sys_close(fd);
        return -1;
    }
    auto high = static_cast<int>(syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, channel_fd_floor));
    if (high >= 0) {
        sys_close(fd);
        fd = high;
    }
    return fd;
}

// The calling process's connection, made on its first report; a child
// forked after it was made drops its copy of the parent's and makes its own.
// Call with control.lock held.
int channel_fd()
{
    const pid_t self = getpid();
    if (control.pid == self)
        return control.fd;
    if (control.fd >= 0)
        sys_close(control.fd);
    control.pid = self;
    control.fd = connect_channel();
    return control.fd;
}

bool transfer_all(long call, int fd, unsigned char *buf, std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        long got = syscall(call, fd, buf + done, n - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// Sends a 5-byte report and waits for the one-byte answer; 'R' (go ahead
// for real) when flasher-vdev cannot be reached.
char ask(char kind, std::uint32_t value)
{
    std::lock_guard<std::mutex> hold(control.lock);
    const int fd = channel_fd();
    if (fd < 0)
        return 'R';
    unsigned char msg[5] = {static_cast<unsigned char>(kind)};
    std::memcpy(msg + 1, &value, sizeof value);
    unsigned char answer = 'R';
    if (!transfer_all(SYS_write, fd, msg, sizeof msg) || !transfer_all(SYS_read, fd, &answer, 1))
        return 'R';
    return static_cast<char>(answer);
}

// Device nodes the command holds open, by file descriptor: BBB << 8 | DDD.
constexpr int tracked_fds = 1024;
std::uint32_t node_of_fd[tracked_fds];

bool reporting()
{
    return std::getenv("FLASHER_VDEV_CONTROL") != nullptr;
}

template <typename F> F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Notes an opened usbfs node and reports it.
void opened(const char *path, int fd)
{
    unsigned bus, devnum;
    char rest;
    if (fd < 0 || fd >= tracked_fds || !reporting() ||
        std::sscanf(path, "/dev/bus/usb/%3u/%3u%c", &bus, &devnum, &rest) != 2)
        return;
    node_of_fd[fd] = bus << 8 | devnum;
    ask('O', node_of_fd[fd]);
}

mode_t mode_arg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

// umockdev connects an ioctl socket for every node opened under /dev/, and
// the socket takes the next free descriptor. A command that puts /dev/null
// on its closed standard descriptors (flasher does) would find the socket
// sitting on the next one and write its lines into it. /dev/null is never a
// virtual device, so it is opened past umockdev.
bool is_dev_null(const char *path)
{
    return path != nullptr && std::strcmp(path, "/dev/null") == 0;
}

int open_dev_null(int flags, mode_t mode)
{
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", flags, mode));
}

} // namespace

extern "C" unsigned int sleep(unsigned int seconds)
{
    using sleep_fn = unsigned int (*)(unsigned int);
    if (reporting() && ask('P', seconds) == 'F')
        return 0; // recorded, and returns at once
    sleep_fn real = next<sleep_fn>("sleep");
    return real != nullptr ? real(seconds) : 0;
}

extern "C" int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_dev_null(path))
        return open_dev_null(flags, mode);
    int fd = next<int (*)(const char *, int, ...)>("open")(path, flags, mode);
    opened(path, fd);
    return fd;
}

extern "C" int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_dev_null(path))
        return open_dev_null(flags, mode);
    int fd = next<int (*)(const char *, int, ...)>("open64")(path, flags, mode);
    opened(path, fd);
    return fd;
}

// What open() becomes under _FORTIFY_SOURCE.
extern "C" int __open_2(const char *path, int flags)
{
    if (is_dev_null(path))
        return open_dev_null(flags, 0);
    int fd = next<int (*)(const char *, int)>("__open_2")(path, flags);
    opened(path, fd);
    return fd;
}

extern "C" int close(int fd)
{
    std::uint32_t node = fd >= 0 && fd < tracked_fds ? node_of_fd[fd] : 0;
    int result = next<int (*)(int)>("close")(fd);
    if (node != 0) {
        node_of_fd[fd] = 0;
        ask('C', node);
    }
    return result;
}
