// Arrivals and departures during the command, as real hotplug events.
//
// libusb (1.0.26, built with udev) learns of devices through a libudev
// monitor, which umockdev's preload turns into a socket in the testbed's
// directory. What umockdev needs to feed it, found on Debian 12 (umockdev
// 0.17.16):
//  - The process that sends a uevent reads the device back through libudev,
//    so it must itself see the testbed's /sys: it must run under
//    libumockdev-preload.so.0 (else "No such device /sys/devices/..."). So
//    flasher-vdev, when a device arrives or leaves, starts itself again under
//    that preload before it makes the testbed; the preload does nothing
//    until the testbed sets UMOCKDEV_DIR. The command gets its own preload
//    list, from the user's LD_PRELOAD as it was.
//  - libusb takes the bus and address from DEVNAME, and reads the sysfs
//    attributes when the "add" arrives: a node is added with every attribute
//    in one record (testbed.cpp), which umockdev writes before its "add".
//  - "remove" goes out before the node leaves the testbed, so that libudev
//    can still read it.
//  - A listener hears only what is sent after its libusb_init; devices there
//    before it come from LIBUSB_HOTPLUG_ENUMERATE or the device list.
// The device list that libusb_get_device_list returns changes only with
// these events, as it does over a real kernel.
#include "tools/vdev/hotplug.h"
#include "tools/vdev/options.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace vdev
{

namespace
{

constexpr const char *umockdev_preload = "libumockdev-preload.so.0";

// Set across the restart: the user's LD_PRELOAD as it was ("" for none).
constexpr const char *outer_preload_variable = "FLASHER_VDEV_OUTER_PRELOAD";

bool any_hotplug()
{
    return std::any_of(state.devices.begin(), state.devices.end(),
                       [](const virtual_device &d) { return d.hotplugged(); });
}

void schedule_next(hotplug_timeline &t);

gboolean on_due(gpointer user)
{
    auto *t = static_cast<hotplug_timeline *>(user);
    t->source = 0;
    const gint64 now = g_get_monotonic_time();
    while (t->next < t->steps.size() &&
           t->start_us + static_cast<gint64>(t->steps[t->next].ms) * 1000 <= now) {
        const hotplug_step &s = t->steps[t->next++];
        if (s.arrive)
            plug(t->testbed, *s.p);
        else
            unplug(t->testbed, *s.p);
    }
    schedule_next(*t);
    return G_SOURCE_REMOVE;
}

void schedule_next(hotplug_timeline &t)
{
    if (t.next >= t.steps.size())
        return;
    const gint64 due = t.start_us + static_cast<gint64>(t.steps[t.next].ms) * 1000;
    const gint64 wait_us = std::max<gint64>(0, due - g_get_monotonic_time());
    // Rounded up: a step never goes out early.
    t.source = g_timeout_add(static_cast<guint>((wait_us + 999) / 1000), on_due, &t);
}

} // namespace

int preload_for_uevents(char **argv)
{
    if (!any_hotplug())
        return -1;
    if (const char *outer = std::getenv(outer_preload_variable); outer != nullptr) {
        if (outer[0] != '\0')
            setenv("LD_PRELOAD", outer, 1);
        else
            unsetenv("LD_PRELOAD");
        unsetenv(outer_preload_variable);
        if (dlopen(umockdev_preload, RTLD_LAZY | RTLD_NOLOAD) != nullptr)
            return -1;
        std::fprintf(stderr, "flasher-vdev: arrive= and leave= need %s, which did not load\n",
                     umockdev_preload);
        return exit_cannot_start;
    }
    const char *old = std::getenv("LD_PRELOAD");
    std::string preload = umockdev_preload;
    if (old != nullptr && old[0] != '\0')
        preload += std::string(":") + old;
    setenv(outer_preload_variable, old != nullptr ? old : "", 1);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    unsetenv("UMOCKDEV_DIR"); // nothing is redirected until the testbed is made
    std::fflush(nullptr);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "flasher-vdev: cannot start again under %s: %s\n", umockdev_preload,
                 std::strerror(errno));
    return exit_cannot_start;
}

UMockdevTestbed *make_testbed()
{
    // umockdev removes a device from a testbed on a disk in about 30 ms
    // (unlinking each attribute file waits on the filesystem), from one on
    // a tmpfs in well under 1 ms: departures go out on time, and do not hold
    // up the answers to the command's reports meanwhile.
    const bool on_tmpfs =
        any_hotplug() && std::getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK | X_OK) == 0;
    if (on_tmpfs)
        setenv("TMPDIR", "/dev/shm", 1);
    UMockdevTestbed *testbed = umockdev_testbed_new();
    if (on_tmpfs)
        unsetenv("TMPDIR"); // the command gets the environment it was given
    return testbed;
}

void start_timeline(hotplug_timeline &t, UMockdevTestbed *testbed, gint64 start_us)
{
    t.testbed = testbed;
    t.steps = hotplug_steps();
    t.next = 0;
    t.start_us = start_us;
    schedule_next(t);
}

void stop_timeline(hotplug_timeline &t)
{
    if (t.source != 0)
        g_source_remove(t.source);
    t.source = 0;
}

} // namespace vdev
