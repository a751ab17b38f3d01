// The virtual devices of one flasher-vdev run and what each has seen.
#pragma once

#include "tools/account/account.h"
#include "tools/vdev/device_spec.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

using UMockdevTestbed = struct _UMockdevTestbed;
using UMockdevIoctlBase = struct _UMockdevIoctlBase;
using UMockdevIoctlData = struct _UMockdevIoctlData;
using UMockdevIoctlClient = struct _UMockdevIoctlClient;

namespace vdev
{

// A URB the command submitted and has not yet reaped.
struct pending_urb {
    UMockdevIoctlData *urb; // the command's usbdevfs_urb, held until reaped
    std::int64_t ready_at;  // monotonic µs when it may be reaped; -1 never
    int status;             // what the reap reports, 0 or -errno
    int actual_length;
    std::size_t event; // its transfer in the recording; -1 for a control URB
    // The open file it came through: a URB is reaped or discarded only
    // through the file that submitted it, as usbfs keeps them per open file,
    // so two programs with the device open never get each other's.
    const UMockdevIoctlClient *client;
};

struct virtual_device;

// One time the device is plugged in, from its arrival (or the start) to its
// departure (or the end). Like a real re-plug, each has an address of its
// own on the bus, and its own node; what it receives is its own.
struct plug_in {
    virtual_device *device = nullptr;
    unsigned number = 0;    // counted from 0
    unsigned arrive_ms = 0; // 0 for a device there from the start
    int leave_ms = -1;      // -1: stays to the end
    unsigned devnum = 0;
    std::string devnode; // /dev/bus/usb/BBB/DDD

    bool arrived = false;  // plugged in by now (or from the start)
    bool departed = false; // unplugged by now
    // Monotonic µs: when its "add" uevent went out (-1: there from the
    // start), and when its first bulk OUT transfer came (-1: none).
    std::int64_t arrived_us = -1;
    std::int64_t first_bulk_us = -1;

    account::recording rec;
    unsigned bulk_transfers = 0;
    unsigned endpoint_counts[16] = {}; // bulk OUT transfers per endpoint number
    unsigned opens = 0;
    unsigned closes = 0; // closed while the command still ran
    unsigned serial_reads = 0;
    unsigned refused_claims = 0;  // claims of interface 0 refused: held by another
    unsigned refused_submits = 0; // bulk URBs refused: the interface held by another
    bool claimed = false;
    // The open file through which interface 0 is claimed now, if any: usbfs
    // keeps a claim per open file, so another program's claim of it, and its
    // bulk URBs, are refused (EBUSY), and GETDRIVER answers "usbfs".
    const UMockdevIoctlClient *claimed_by = nullptr;
    bool gone = false; // unplugged: by a gone= fault or by leaving
    std::deque<pending_urb> pending;

    bool present() const
    {
        return arrived && !departed;
    }
};

struct virtual_device {
    device_spec spec;
    std::size_t index = 0; // counted from 0, in the order given
    std::string sysname;   // sysfs name, e.g. "20-1.2"
    std::deque<plug_in> plug_ins;

    // Arrives or leaves during the command; shown plug-in by plug-in.
    bool hotplugged() const
    {
        return !spec.hotplug.empty();
    }
};

// Everything the ioctl handlers and the main loop share. The handlers run on
// umockdev's worker thread, so every access takes the lock.
struct run_state {
    std::mutex lock;
    std::deque<virtual_device> devices;
    account::recording pauses;                        // the command's pauses, in order
    std::map<std::string, UMockdevIoctlBase *> nodes; // usbfs handler per device node
};

extern run_state state;

// An arrival or a departure of one plug-in, in ms from the command's start.
struct hotplug_step {
    unsigned ms;
    plug_in *p;
    bool arrive;
};

// Every arrival and departure during the run, in the order they happen (at
// the same time, in the order of the devices). Call after build_testbed.
std::vector<hotplug_step> hotplug_steps();

// The plug-in whose node is `devnode`: the one plugged in there now, else the
// last one that was. Null when none. Call with state.lock held.
plug_in *plug_in_at(const std::string &devnode);

// Builds the sysfs tree and device nodes of every device in state (each
// plug-in there from the start) and attaches the ioctl handlers of every
// node a plug-in will have. Returns false with a message on failure.
bool build_testbed(UMockdevTestbed *testbed, std::string &error);

// Plugs in and unplugs, sending the uevents that libusb listens to. The
// calling process must run under umockdev's preload (see hotplug.cpp).
void plug(UMockdevTestbed *testbed, plug_in &p);
void unplug(UMockdevTestbed *testbed, plug_in &p);

// The plug-in is unplugged: every URB it has not finished fails with ENODEV,
// and so does everything the command asks of it later. Call with state.lock
// held.
void disconnect(plug_in &p);

// Attaches the usbfs ioctl handler of one device node.
bool attach_usbfs(UMockdevTestbed *testbed, const std::string &devnode, std::string &error);

} // namespace vdev
