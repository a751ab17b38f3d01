#include "ffs.h"

#include "descriptors.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

bool fail(const char *what, const char *path)
{
    std::fprintf(stderr, "flasher-gadget: %s %s: %s\n", what, path, std::strerror(errno));
    return false;
}

bool open_in(const ffs_function &f, const char *file, int &fd)
{
    char path[160];
    std::snprintf(path, sizeof path, "%s/%s", f.dir, file);
    fd = open(path, O_RDWR);
    return fd >= 0 || fail("open", path);
}

bool write_blob(int fd, const unsigned char *data, std::size_t len, const char *what)
{
    const ssize_t n = write(fd, data, len);
    if (n == static_cast<ssize_t>(len))
        return true;
    std::fprintf(stderr, "flasher-gadget: FunctionFS refused the %s: %s\n", what,
                 n < 0 ? std::strerror(errno) : "short write");
    return false;
}

} // namespace

bool ffs_start(ffs_function &f, const char *name, const char *dir, bool os_desc)
{
    std::snprintf(f.dir, sizeof f.dir, "%s", dir);
    if (mkdir(f.dir, 0755) != 0 && errno != EEXIST)
        return fail("mkdir", f.dir);
    if (mount(name, f.dir, "functionfs", 0, nullptr) != 0)
        return fail("mount functionfs at", f.dir);
    f.mounted = true;
    if (!open_in(f, "ep0", f.ep0))
        return false;
    unsigned char descriptors[ffs_descriptors_size];
    const std::size_t dlen = build_ffs_descriptors(descriptors, os_desc);
    unsigned char strings[64];
    const std::size_t slen = build_ffs_strings(strings, "flash");
    if (!write_blob(f.ep0, descriptors, dlen, "descriptors") ||
        !write_blob(f.ep0, strings, slen, "strings"))
        return false;
    // Endpoint files are numbered in descriptor order: OUT, then IN.
    return open_in(f, "ep1", f.ep_out) && open_in(f, "ep2", f.ep_in);
}

void ffs_stop(ffs_function &f)
{
    for (int *fd : {&f.ep_out, &f.ep_in, &f.ep0}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (f.mounted && umount(f.dir) != 0)
        std::fprintf(stderr, "flasher-gadget: umount %s: %s\n", f.dir, std::strerror(errno));
    f.mounted = false;
}

bool reader_open(ffs_reader &r)
{
    r.event_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (r.event_fd < 0)
        return fail("eventfd", "");
    if (syscall(SYS_io_setup, 2, &r.ctx) != 0)
        return fail("io_setup", "");
    return true;
}

void reader_close(ffs_reader &r)
{
    // Destroying the context cancels a read still in flight.
    if (r.ctx)
        syscall(SYS_io_destroy, r.ctx);
    if (r.event_fd >= 0)
        close(r.event_fd);
    r = ffs_reader{};
}

// buf is filled by the kernel when the read completes, so it is not const.
// NOLINTNEXTLINE(readability-non-const-parameter)
bool reader_submit(ffs_reader &r, int fd, unsigned char *buf, std::size_t len)
{
    r.cb = iocb{};
    r.cb.aio_fildes = static_cast<std::uint32_t>(fd);
    r.cb.aio_lio_opcode = IOCB_CMD_PREAD;
    r.cb.aio_buf = reinterpret_cast<std::uintptr_t>(buf);
    r.cb.aio_nbytes = len;
    r.cb.aio_flags = IOCB_FLAG_RESFD;
    r.cb.aio_resfd = static_cast<std::uint32_t>(r.event_fd);
    iocb *list[1] = {&r.cb};
    if (syscall(SYS_io_submit, r.ctx, 1, list) != 1)
        return fail("io_submit on", "the OUT endpoint");
    r.busy = true;
    return true;
}

bool reader_collect(ffs_reader &r, long long &result)
{
    std::uint64_t ticks = 0;
    if (read(r.event_fd, &ticks, sizeof ticks) != sizeof ticks || !r.busy)
        return false;
    io_event done{};
    timespec zero{};
    if (syscall(SYS_io_getevents, r.ctx, 1, 1, &done, &zero) != 1)
        return false;
    r.busy = false;
    result = done.res;
    return true;
}
