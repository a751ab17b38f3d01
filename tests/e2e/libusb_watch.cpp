// What a libusb program sees of the virtual devices; run under flasher-vdev
// by the hotplug and held-interface tests. Only devices with the build's IDs
// are shown, as BUS-ADDRESS.
//
//   libusb_watch events SECONDS [--until-arrival]
//     Registers a hotplug callback (LIBUSB_HOTPLUG_ENUMERATE) and prints one
//     line per event, "MS arrived|left|enumerated B-A", MS from its start,
//     then "MS list B-A ..." (sorted) whenever libusb_get_device_list
//     changes. Stops after SECONDS, or at the first arrival that was not
//     enumerated.
//   libusb_watch driver
//     For each device: "B-A getdriver NAME|ENODATA|error ERRNO claim R
//     active R", from USBDEVFS_GETDRIVER on interface 0 of its node, then
//     libusb_claim_interface and libusb_kernel_driver_active.
#include <libusb.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using clock_type = std::chrono::steady_clock;
const clock_type::time_point started = clock_type::now();

long elapsed_ms()
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - started).count());
}

std::string name_of(libusb_device *d)
{
    return std::to_string(libusb_get_bus_number(d)) + "-" +
           std::to_string(libusb_get_device_address(d));
}

bool is_target(libusb_device *d)
{
    libusb_device_descriptor desc{};
    return libusb_get_device_descriptor(d, &desc) == 0 && desc.idVendor == FLASHER_USB_VID &&
           desc.idProduct == FLASHER_USB_PID;
}

std::vector<libusb_device *> targets(libusb_device **list)
{
    std::vector<libusb_device *> found;
    for (libusb_device **d = list; *d != nullptr; ++d) {
        if (is_target(*d))
            found.push_back(*d);
    }
    return found;
}

std::string list_text(libusb_context *ctx)
{
    libusb_device **list = nullptr;
    if (libusb_get_device_list(ctx, &list) < 0)
        return " (no list)";
    std::vector<std::string> names;
    for (libusb_device *d : targets(list))
        names.push_back(name_of(d));
    libusb_free_device_list(list, 1);
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string &n : names)
        text += " " + n;
    return text;
}

struct watch {
    bool registered = false; // events before this are the enumeration
    bool arrival = false;    // an arrival after the enumeration
};

int on_event(libusb_context *, libusb_device *d, libusb_hotplug_event event, void *user)
{
    auto *w = static_cast<watch *>(user);
    const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    const char *what = !arrived ? "left" : w->registered ? "arrived" : "enumerated";
    std::printf("%ld %s %s\n", elapsed_ms(), what, name_of(d).c_str());
    std::fflush(stdout);
    w->arrival = w->arrival || (arrived && w->registered);
    return 0;
}

int events(libusb_context *ctx, double seconds, bool until_arrival)
{
    watch w;
    libusb_hotplug_callback_handle handle;
    if (libusb_hotplug_register_callback(
            ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
            LIBUSB_HOTPLUG_ENUMERATE, FLASHER_USB_VID, FLASHER_USB_PID, LIBUSB_HOTPLUG_MATCH_ANY,
            on_event, &w, &handle) != 0) {
        std::fprintf(stderr, "libusb_watch: cannot register a hotplug callback\n");
        return 1;
    }
    w.registered = true;
    std::string last;
    while (elapsed_ms() < static_cast<long>(seconds * 1000) && !(until_arrival && w.arrival)) {
        timeval tv{0, 20000};
        libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        if (std::string now = list_text(ctx); now != last) {
            std::printf("%ld list%s\n", elapsed_ms(), now.c_str());
            std::fflush(stdout);
            last = now;
        }
    }
    libusb_hotplug_deregister_callback(ctx, handle);
    return 0;
}

std::string getdriver(libusb_device *d)
{
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(d),
                  libusb_get_device_address(d));
    const int fd = open(node, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::string("open error ") + std::strerror(errno);
    usbdevfs_getdriver get{};
    get.interface = 0;
    std::string result;
    if (ioctl(fd, USBDEVFS_GETDRIVER, &get) == 0)
        result = get.driver;
    else if (errno == ENODATA)
        result = "ENODATA";
    else
        result = std::string("error ") + std::strerror(errno);
    close(fd);
    return result;
}

int drivers(libusb_context *ctx)
{
    libusb_device **list = nullptr;
    if (libusb_get_device_list(ctx, &list) < 0)
        return 1;
    for (libusb_device *d : targets(list)) {
        libusb_device_handle *h = nullptr;
        const std::string driver = getdriver(d);
        if (libusb_open(d, &h) != 0) {
            std::printf("%s getdriver %s open failed\n", name_of(d).c_str(), driver.c_str());
            continue;
        }
        const int claim = libusb_claim_interface(h, 0);
        std::printf("%s getdriver %s claim %s active %d\n", name_of(d).c_str(), driver.c_str(),
                    claim == 0 ? "0" : libusb_error_name(claim), libusb_kernel_driver_active(h, 0));
        libusb_close(h);
    }
    libusb_free_device_list(list, 1);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (!(mode == "driver" && argc == 2) && !(mode == "events" && (argc == 3 || argc == 4))) {
        std::fprintf(stderr, "usage: libusb_watch events SECONDS [--until-arrival] | driver\n");
        return 2;
    }
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return 1;
    const int status = mode == "driver"
                           ? drivers(ctx)
                           : events(ctx, std::atof(argv[2]),
                                    argc == 4 && std::strcmp(argv[3], "--until-arrival") == 0);
    libusb_exit(ctx);
    return status;
}
