// Builds the sysfs nodes and device nodes that libusb enumerates. libusb
// takes a device's hub ports from its sysfs name ("20-1.2" is port 2 of the
// hub at port 1 of bus 20) and finds the hub by name, so every hub on the way
// is present as a node. The nodes sit side by side under /sys/devices:
// umockdev checks a parent's directory in the real /sys of this process, and
// libusb looks only at the names.
#include "tools/vdev/vdev.h"

#include <umockdev.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sys/stat.h>

namespace vdev
{

namespace
{

struct node {
    std::string syspath;
    unsigned devnum;
};

// Sysfs nodes made so far, by sysfs name, and the next free address per bus.
std::map<std::string, node> nodes;
std::map<unsigned, unsigned> next_devnum;

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

unsigned take_devnum(unsigned bus, std::size_t depth)
{
    if (depth == 0)
        return 1; // a root hub is always address 1
    unsigned &next = next_devnum[bus];
    if (next < 2)
        next = 2;
    return next++;
}

// A hub: only its descriptors matter, so that libusb can list it.
std::vector<std::uint8_t> hub_descriptors()
{
    return {18, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 64,   0x6B, 0x1D, 0x02, 0x00, 0x00, 0x01, 0,
            0,  0,    1,    9,    0x02, 25,   0,    1,    1,    0,    0xE0, 0,    9,    0x04, 0,
            0,  1,    9,    0,    0,    0,    7,    0x05, 0x81, 3,    4,    0,    12};
}

node add_node(UMockdevTestbed *testbed, const std::string &name, unsigned bus, unsigned devnum,
              const std::vector<std::uint8_t> &descriptors, bool configured)
{
    std::string devnode = devnode_of(bus, devnum);
    std::string busnum = std::to_string(bus);
    std::string devnum_text = std::to_string(devnum);
    // usbfs nodes are char devices 189:N; umockdev makes the node from this.
    std::string dev_attr = "189:" + std::to_string((bus - 1) * 128 + devnum - 1);
    gchar *syspath = umockdev_testbed_add_device(
        testbed, "usb", name.c_str(), nullptr, "busnum", busnum.c_str(), "devnum",
        devnum_text.c_str(), "speed", "12", "dev", dev_attr.c_str(), "bConfigurationValue",
        configured ? "1" : "", nullptr, "DEVNAME", devnode.c_str(), "DEVTYPE", "usb_device",
        "BUSNUM", busnum.c_str(), "DEVNUM", devnum_text.c_str(), nullptr);
    std::vector<std::uint8_t> desc = descriptors;
    umockdev_testbed_set_attribute_binary(testbed, syspath, "descriptors", desc.data(),
                                          static_cast<gint>(desc.size()));
    node n{syspath, devnum};
    g_free(syspath);
    return n;
}

// The hubs from the root down to (not including) the device's own node.
void add_hubs(UMockdevTestbed *testbed, const device_spec &spec)
{
    for (std::size_t depth = 0; depth < spec.ports.size(); ++depth) {
        std::string name = sysname_of(spec.bus, spec.ports, depth);
        auto found = nodes.find(name);
        if (found == nodes.end()) {
            unsigned devnum = take_devnum(spec.bus, depth);
            nodes.emplace(name, add_node(testbed, name, spec.bus, devnum, hub_descriptors(), true));
        }
    }
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
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string file = std::string(root) + devnode;
    g_free(root);
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

} // namespace

bool build_testbed(UMockdevTestbed *testbed, std::string &error)
{
    // Names first, so a clash is found before anything is built.
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
    for (virtual_device &dev : state.devices) {
        add_hubs(testbed, dev.spec);
        unsigned devnum = take_devnum(dev.spec.bus, dev.spec.ports.size());
        dev.devnode = devnode_of(dev.spec.bus, devnum);
        if (!dev.spec.no_open && !attach_usbfs(testbed, dev, error))
            return false;
        node n = add_node(testbed, dev.sysname, dev.spec.bus, devnum, descriptors_of(dev.spec),
                          !dev.spec.unconfigured);
        nodes.emplace(dev.sysname, n);
        if (!make_devnode(testbed, dev.devnode, dev.spec, error))
            return false;
    }
    return true;
}

} // namespace vdev
