// The first-write shim, preloaded by flasher-measure --startup: it stands in
// front of libusb_bulk_transfer, sends the CLOCK_MONOTONIC time of the first
// call (in ns, as one int64) into the pipe named by the environment, and
// otherwise passes every call straight on.
#include "bench/first_write.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <unistd.h>

// Only the handle's name is needed here; the shim never looks inside it.
struct libusb_device_handle;

namespace
{

constexpr int libusb_error_other = -99; // LIBUSB_ERROR_OTHER

using bulk_fn = int (*)(libusb_device_handle *, unsigned char, unsigned char *, int, int *,
                        unsigned int);
bulk_fn real_bulk = nullptr;
bool stamped = false;

void stamp_first_write()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::int64_t ns = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    const char *fd_text = std::getenv(first_write_fd_env);
    if (fd_text == nullptr)
        return;
    const int fd = std::atoi(fd_text);
    if (write(fd, &ns, sizeof ns) == static_cast<ssize_t>(sizeof ns))
        close(fd);
}

} // namespace

extern "C" int libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint,
                                    unsigned char *data, int length, int *transferred,
                                    unsigned int timeout)
{
    if (!stamped) {
        stamped = true;
        stamp_first_write();
        real_bulk = reinterpret_cast<bulk_fn>(dlsym(RTLD_NEXT, "libusb_bulk_transfer"));
    }
    if (real_bulk == nullptr)
        return libusb_error_other;
    return real_bulk(handle, endpoint, data, length, transferred, timeout);
}
