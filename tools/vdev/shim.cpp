// Preloaded into the command that flasher-vdev runs, ahead of umockdev's
// preload. It reports to flasher-vdev every sleep() and every open() and
// close() of a usbfs device node, and waits for the answer each time, so the
// report lands in order with the transfers around it. For a sleep the answer
// says whether to sleep for real or return at once.
//
// FLASHER_VDEV_CONTROL holds "W,R": the file descriptors to write reports to
// and to read answers from. Without it every call goes straight through.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

int report_fd = -1;
int answer_fd = -1;

// Device nodes the command holds open, by file descriptor: BBB << 8 | DDD.
constexpr int tracked_fds = 1024;
std::uint32_t node_of_fd[tracked_fds];

bool channel_open()
{
    static bool parsed = false;
    if (!parsed) {
        parsed = true;
        const char *text = std::getenv("FLASHER_VDEV_CONTROL");
        if (text != nullptr) {
            char *end = nullptr;
            long w = std::strtol(text, &end, 10);
            if (end != nullptr && *end == ',') {
                long r = std::strtol(end + 1, &end, 10);
                if (*end == '\0' && w >= 0 && r >= 0) {
                    report_fd = static_cast<int>(w);
                    answer_fd = static_cast<int>(r);
                }
            }
        }
    }
    return report_fd >= 0;
}

// Sends a 5-byte report and waits for the one-byte answer.
char ask(char kind, std::uint32_t value)
{
    unsigned char msg[5] = {static_cast<unsigned char>(kind)};
    std::memcpy(msg + 1, &value, sizeof value);
    if (write(report_fd, msg, sizeof msg) != static_cast<ssize_t>(sizeof msg))
        return 'R';
    char answer = 'R';
    if (read(answer_fd, &answer, 1) != 1)
        return 'R';
    return answer;
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
    if (fd < 0 || fd >= tracked_fds || !channel_open() ||
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
    if (channel_open() && ask('P', seconds) == 'F')
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
