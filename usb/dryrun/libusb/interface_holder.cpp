#include "usb/dryrun/libusb/interface_holder.h"

#ifdef __linux__
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#ifdef __linux__
namespace
{

// The name usbfs gives itself as the driver of an interface that a program
// has claimed through a device node.
constexpr const char *usbfs_driver = "usbfs";

} // namespace

interface_holder find_interface_holder(libusb_device *device)
{
    interface_holder holder;
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    const int fd = open(node, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return holder;
    usbdevfs_getdriver request{};
    request.interface = 0;
    const int result = ioctl(fd, USBDEVFS_GETDRIVER, &request);
    const int error = errno;
    close(fd);
    if (result != 0) {
        if (error == ENODATA)
            holder.kind = holder_kind::none;
        return holder;
    }
    request.driver[sizeof request.driver - 1] = '\0';
    holder.driver = request.driver;
    holder.kind = holder.driver == usbfs_driver ? holder_kind::program : holder_kind::kernel_driver;
    return holder;
}
#else
interface_holder find_interface_holder(libusb_device *)
{
    return {};
}
#endif

bool is_held(const interface_holder &holder)
{
    return holder.kind == holder_kind::program || holder.kind == holder_kind::kernel_driver;
}
