// The virtual devices of one flasher-vdev run and what each has seen.
#pragma once

#include "tools/account/account.h"
#include "tools/vdev/device_spec.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

using UMockdevTestbed = struct _UMockdevTestbed;
using UMockdevIoctlBase = struct _UMockdevIoctlBase;
using UMockdevIoctlData = struct _UMockdevIoctlData;

namespace vdev
{

// A URB the command submitted and has not yet reaped.
struct pending_urb {
    UMockdevIoctlData *urb; // the command's usbdevfs_urb, held until reaped
    std::int64_t ready_at;  // monotonic µs when it may be reaped; -1 never
    int status;             // what the reap reports, 0 or -errno
    int actual_length;
};

struct virtual_device {
    device_spec spec;
    std::string sysname; // sysfs name, e.g. "20-1.2"
    std::string devnode; // /dev/bus/usb/BBB/DDD
    UMockdevIoctlBase *handler = nullptr;

    account::recording rec;
    unsigned bulk_transfers = 0;
    unsigned endpoint_counts[16] = {}; // bulk OUT transfers per endpoint number
    unsigned opens = 0;
    unsigned closes = 0; // closed while the command still ran
    unsigned serial_reads = 0;
    bool claimed = false;
    bool gone = false;
    std::deque<pending_urb> pending;
};

// Everything the ioctl handlers and the main loop share. The handlers run on
// umockdev's worker thread, so every access takes the lock.
struct run_state {
    std::mutex lock;
    std::deque<virtual_device> devices;
    account::recording pauses; // the command's pauses, in order
};

extern run_state state;

// Builds the sysfs tree and device nodes of every device in state and
// attaches the ioctl handlers. Returns false with a message on failure.
bool build_testbed(UMockdevTestbed *testbed, std::string &error);

// Attaches the usbfs ioctl handler of one device.
bool attach_usbfs(UMockdevTestbed *testbed, virtual_device &dev, std::string &error);

} // namespace vdev
