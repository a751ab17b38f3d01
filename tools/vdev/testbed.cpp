// Builds the sysfs nodes and device nodes that libusb enumerates. libusb
// takes a device's hub ports from its sysfs name ("20-1.2" is port 2 of the
// hub at port 1 of bus 20) and finds the hub by name, so every hub on the way
// is present as a node. The nodes sit side by side under /sys/devices:
// umockdev checks a parent's directory in the real /sys of this process, and
// libusb looks only at the names.
#include "tools/vdev/addresses.h"
#include "tools/vdev/vdev.h"

#include <umockdev.h>

#include <glib/gstdio.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sys/stat.h>

namespace vdev
{

namespace
{

// The hubs made so far, by sysfs name, and the addresses of each bus.
std::set<std::string> hubs;
std::map<unsigned, bus_addresses> buses;

std::string bus_full(unsigned bus)
{
    return "more than 126 devices at once on bus " + std::to_string(bus);
}

std::string devnode_of(unsigned bus, unsigned devnum)
{
    char text[32];
    std::snprintf(text, sizeof text, "/dev/bus/usb/%03u/%03u", bus, devnum);
    return text;
}

std::string sysname_of(unsigned bus, const std::vector<unsigned> &ports, std::size_t depth)
{
    if (depth == 0)
        return "usb" + std::to_string(bus);
    return usb_path_of(bus, ports, depth);
}

// A hub: only its descriptors matter, so that libusb can list it.
std::vector<std::uint8_t> hub_descriptors()
{
    return {18, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 64,   0x6B, 0x1D, 0x02, 0x00, 0x00, 0x01, 0,
            0,  0,    1,    9,    0x02, 25,   0,    1,    1,    0,    0xE0, 0,    9,    0x04, 0,
            0,  1,    9,    0,    0,    0,    7,    0x05, 0x81, 3,    4,    0,    12};
}

// The sysfs node of a device or hub, in umockdev's record format, so that
// every attribute (the descriptors too) is written before umockdev sends its
// "add" uevent: libusb reads them as the event arrives. libusb takes the bus
// and address from DEVNAME, and ignores an event without it.
bool add_sysfs_node(UMockdevTestbed *testbed, const std::string &name, unsigned bus,
                    unsigned devnum, const std::vector<std::uint8_t> &descriptors, bool configured,
                    std::string &error)
{
    const std::string busnum = std::to_string(bus);
    const std::string devnum_text = std::to_string(devnum);
    // usbfs nodes are char devices 189:N.
    const std::string dev_attr = "189:" + std::to_string((bus - 1) * 128 + devnum - 1);
    std::string record =
        "P: /devices/" + name + "\nE: SUBSYSTEM=usb\nE: DEVNAME=" + devnode_of(bus, devnum) +
        "\nE: DEVTYPE=usb_device\nE: BUSNUM=" + busnum + "\nE: DEVNUM=" + devnum_text +
        "\nA: busnum=" + busnum + "\nA: devnum=" + devnum_text +
        "\nA: speed=12\nA: dev=" + dev_attr +
        "\nA: bConfigurationValue=" + (configured ? "1" : "") + "\nH: descriptors=";
    for (std::uint8_t b : descriptors) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", b);
        record += hex;
    }
    record += "\n";
    GError *err = nullptr;
    if (umockdev_testbed_add_from_string(testbed, record.c_str(), &err))
        return true;
    error = "cannot add " + name + " to the testbed: " + err->message;
    g_clear_error(&err);
    return false;
}

// The hubs from the root down to (not including) the device's own node.
bool add_hubs(UMockdevTestbed *testbed, const device_spec &spec, std::string &error)
{
    for (std::size_t depth = 0; depth < spec.ports.size(); ++depth) {
        std::string name = sysname_of(spec.bus, spec.ports, depth);
        if (!hubs.insert(name).second)
            continue;
        const unsigned devnum = depth == 0 ? 1 : buses[spec.bus].take();
        if (devnum == 0) {
            error = bus_full(spec.bus);
            return false;
        }
        if (!add_sysfs_node(testbed, name, spec.bus, devnum, hub_descriptors(), true, error))
            return false;
    }
    return true;
}

std::string testbed_path(UMockdevTestbed *testbed, const std::string &path)
{
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string file = std::string(root) + path;
    g_free(root);
    return file;
}

// The node the command opens: an empty file whose ioctls go to the handler.
// A device that cannot be opened gets a directory there instead, so open()
// fails with EISDIR and libusb keeps the device listed (a missing node would
// make libusb drop the device as unplugged). A device the user may not open
// gets a file of mode 0000: open() fails with EACCES, as on a node no udev
// rule opened up, except for root, whom file modes do not stop.
bool make_devnode(UMockdevTestbed *testbed, const std::string &devnode, const device_spec &spec,
                  std::string &error)
{
    const std::string file = testbed_path(testbed, devnode);
    gchar *dir = g_path_get_dirname(file.c_str());
    int made = g_mkdir_with_parents(dir, 0755);
    g_free(dir);
    bool ok = made == 0 && (spec.no_open ? g_mkdir_with_parents(file.c_str(), 0755) == 0
                                         : g_file_set_contents(file.c_str(), "", 0, nullptr));
    if (ok && spec.no_access)
        ok = chmod(file.c_str(), 0) == 0;
    if (!ok)
        error = "cannot make device node " + file;
    return ok;
}

bool add_plug_in(UMockdevTestbed *testbed, const plug_in &p, std::string &error)
{
    const virtual_device &dev = *p.device;
    return make_devnode(testbed, p.devnode, dev.spec, error) &&
           add_sysfs_node(testbed, dev.sysname, dev.spec.bus, p.devnum, descriptors_of(dev.spec),
                          !dev.spec.unconfigured, error);
}

// Names first, so a clash is found before anything is built.
bool check_names(std::string &error)
{
    for (virtual_device &dev : state.devices) {
        dev.sysname = sysname_of(dev.spec.bus, dev.spec.ports, dev.spec.ports.size());
        for (const virtual_device &other : state.devices) {
            if (&other != &dev && other.sysname == dev.sysname) {
                error = "two devices at usb path " + usb_path_of(dev.spec);
                return false;
            }
            // A device cannot also be the hub of another one.
            if (&other != &dev && other.spec.bus == dev.spec.bus &&
                other.spec.ports.size() > dev.spec.ports.size() &&
                std::equal(dev.spec.ports.begin(), dev.spec.ports.end(),
                           other.spec.ports.begin())) {
                error = "usb path " + usb_path_of(dev.spec) + " is a hub on the way to " +
                        usb_path_of(other.spec);
                return false;
            }
        }
    }
    return true;
}

// The plug-ins of a device, with their times; the first is there from the
// start unless the device first arrives.
void make_plug_ins(virtual_device &dev)
{
    const unsigned count = plug_in_count(dev.spec);
    for (unsigned k = 0; k < count; ++k) {
        plug_in &p = dev.plug_ins.emplace_back();
        p.device = &dev;
        p.number = k;
    }
    std::size_t k = present_at_start(dev.spec) ? 0 : static_cast<std::size_t>(-1);
    for (const hotplug_event &e : dev.spec.hotplug) {
        if (e.arrive)
            dev.plug_ins[++k].arrive_ms = e.ms;
        else
            dev.plug_ins[k].leave_ms = static_cast<int>(e.ms);
    }
}

// A plug-in's address and node, as it arrives (or at the start).
bool give_address(plug_in &p, std::string &error)
{
    const unsigned bus = p.device->spec.bus;
    p.devnum = buses[bus].take();
    p.devnode = devnode_of(bus, p.devnum);
    if (p.devnum == 0)
        error = bus_full(bus);
    return p.devnum != 0;
}

// Gives each plug-in that arrives later its address, in the order they
// arrive, with the addresses of those that left free again.
bool give_later_addresses(std::string &error)
{
    for (const hotplug_step &s : hotplug_steps()) {
        if (!s.arrive)
            buses[s.p->device->spec.bus].release(s.p->devnum);
        else if (!give_address(*s.p, error))
            return false;
    }
    return true;
}

} // namespace

std::vector<hotplug_step> hotplug_steps()
{
    std::vector<hotplug_step> steps;
    for (virtual_device &dev : state.devices) {
        for (plug_in &p : dev.plug_ins) {
            if (!p.arrived)
                steps.push_back({p.arrive_ms, &p, true});
            if (p.leave_ms >= 0)
                steps.push_back({static_cast<unsigned>(p.leave_ms), &p, false});
        }
    }
    std::stable_sort(steps.begin(), steps.end(),
                     [](const hotplug_step &a, const hotplug_step &b) { return a.ms < b.ms; });
    return steps;
}

plug_in *plug_in_at(const std::string &devnode)
{
    plug_in *last = nullptr;
    for (virtual_device &dev : state.devices) {
        for (plug_in &p : dev.plug_ins) {
            if (p.devnode != devnode || !p.arrived)
                continue;
            if (p.present())
                return &p;
            if (last == nullptr || p.arrive_ms > last->arrive_ms)
                last = &p;
        }
    }
    return last;
}

bool build_testbed(UMockdevTestbed *testbed, std::string &error)
{
    if (!check_names(error))
        return false;
    for (virtual_device &dev : state.devices) {
        if (!add_hubs(testbed, dev.spec, error))
            return false;
        make_plug_ins(dev);
        if (!present_at_start(dev.spec))
            continue;
        if (!give_address(dev.plug_ins.front(), error))
            return false;
        dev.plug_ins.front().arrived = true;
    }
    if (!give_later_addresses(error))
        return false;
    for (virtual_device &dev : state.devices) {
        for (plug_in &p : dev.plug_ins) {
            if (!dev.spec.no_open && state.nodes.count(p.devnode) == 0 &&
                !attach_usbfs(testbed, p.devnode, error))
                return false;
            if (p.arrived && !add_plug_in(testbed, p, error))
                return false;
        }
    }
    return true;
}

void plug(UMockdevTestbed *testbed, plug_in &p)
{
    {
        std::lock_guard<std::mutex> hold(state.lock);
        p.arrived = true;
    }
    std::string error;
    if (!add_plug_in(testbed, p, error))
        std::fprintf(stderr, "flasher-vdev: %s\n", error.c_str());
    std::lock_guard<std::mutex> hold(state.lock);
    p.arrived_us = g_get_monotonic_time();
}

void unplug(UMockdevTestbed *testbed, plug_in &p)
{
    {
        std::lock_guard<std::mutex> hold(state.lock);
        p.departed = true;
        disconnect(p);
    }
    // "remove" goes out while the node is still there to be read; then the
    // node and the device node go, as the kernel takes them away.
    const std::string syspath = "/sys/devices/" + p.device->sysname;
    umockdev_testbed_uevent(testbed, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, syspath.c_str());
    g_remove(testbed_path(testbed, p.devnode).c_str());
}

} // namespace vdev
