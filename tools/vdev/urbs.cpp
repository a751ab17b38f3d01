// The URBs of usbfs, from the device's side: records every bulk OUT
// transfer and plays the planned faults.
//
// libusb submits a URB, waits for the node to become ready and then reaps
// with USBDEVFS_REAPURBNDELAY until it gets its URB back. A URB that is never
// made ready times out inside libusb, which discards it and reaps it with
// -ENOENT: a real libusb time-out.
#include "tools/vdev/usbfs.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace vdev
{

namespace
{

constexpr std::uint8_t string_descriptor = 3;
constexpr std::uint8_t get_descriptor = 6;
constexpr std::size_t setup_size = 8;
constexpr std::size_t no_event = static_cast<std::size_t>(-1);

account::outcome outcome_of(transfer_fault fault)
{
    switch (fault) {
    case transfer_fault::none:
        return account::outcome::completed;
    case transfer_fault::stall:
        return account::outcome::stalled;
    case transfer_fault::timeout:
        return account::outcome::timed_out;
    case transfer_fault::short_taken:
        return account::outcome::short_taken;
    case transfer_fault::gone:
        return account::outcome::gone;
    }
    return account::outcome::completed;
}

usbdevfs_urb *urb_of(UMockdevIoctlData *data)
{
    return reinterpret_cast<usbdevfs_urb *>(data->data);
}

// The answer to a GET_DESCRIPTOR request for a string: language list for
// index 0, the serial (UTF-16LE) for the serial index, nothing else.
std::size_t string_answer(const plug_in &p, std::uint8_t index, std::uint8_t *out, std::size_t room)
{
    const std::vector<std::uint8_t> desc =
        index == 0 ? std::vector<std::uint8_t>{4, string_descriptor, 0x09, 0x04} // en-US
                   : vdev::serial_descriptor(p.device->spec.serial);
    std::size_t n = desc.size();
    n = n < room ? n : room;
    std::memcpy(out, desc.data(), n);
    return n;
}

// A control URB: only string descriptor reads are answered, the rest stall.
void on_control(plug_in &dev, UMockdevIoctlData *urb, UMockdevIoctlData *buffer, pending_urb &p)
{
    usbdevfs_urb *u = urb_of(urb);
    std::uint8_t *b = buffer->data;
    if (u->buffer_length < static_cast<int>(setup_size)) {
        p.status = -EINVAL;
        return;
    }
    std::size_t w_length = b[6] | (b[7] << 8);
    std::size_t room = static_cast<std::size_t>(u->buffer_length) - setup_size;
    room = w_length < room ? w_length : room;
    bool string_read = b[0] == 0x80 && b[1] == get_descriptor && b[3] == string_descriptor;
    if (!string_read || (b[2] != 0 && b[2] != 3)) {
        p.status = -EPIPE;
        return;
    }
    if (b[2] != 0)
        dev.serial_reads += 1;
    if (dev.device->spec.serial_fails && b[2] != 0) {
        p.status = -EPIPE;
        return;
    }
    p.actual_length = static_cast<int>(string_answer(dev, b[2], b + setup_size, room));
}

// A bulk OUT URB: one transfer of the protocol. It is recorded here, with the
// outcome its planned fault gives it.
void on_bulk_out(plug_in &dev, UMockdevIoctlData *urb, UMockdevIoctlData *buffer, pending_urb &p)
{
    usbdevfs_urb *u = urb_of(urb);
    std::size_t length = static_cast<std::size_t>(u->buffer_length);
    planned_fault f = fault_for(dev.device->spec, dev.bulk_transfers, dev.number);
    if (dev.gone)
        f.fault = transfer_fault::gone;
    std::size_t taken = 0;
    switch (f.fault) {
    case transfer_fault::none:
        taken = length;
        p.actual_length = static_cast<int>(length);
        break;
    case transfer_fault::stall:
        p.status = -EPIPE;
        break;
    case transfer_fault::timeout:
        p.ready_at = -1;
        break;
    case transfer_fault::short_taken:
        taken = f.taken < length ? f.taken : length;
        p.actual_length = static_cast<int>(taken);
        break;
    case transfer_fault::gone:
        p.status = -ENODEV;
        dev.gone = true;
        break;
    }
    p.event = dev.rec.events.size();
    if (dev.first_bulk_us < 0)
        dev.first_bulk_us = g_get_monotonic_time();
    account::record_transfer(dev.rec, std::span<const unsigned char>(buffer->data, length), taken,
                             outcome_of(f.fault));
    dev.bulk_transfers += 1;
    dev.endpoint_counts[u->endpoint & 0x0F] += 1;
}

} // namespace

gint submit_urb(plug_in &dev, UMockdevIoctlClient *client)
{
    GError *error = nullptr;
    UMockdevIoctlData *urb = pointed_to(client, sizeof(usbdevfs_urb));
    if (urb == nullptr)
        return -EFAULT;
    usbdevfs_urb *u = urb_of(urb);
    if (u->buffer_length < 0) {
        g_object_unref(urb);
        return -EINVAL;
    }
    UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
        urb, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(u->buffer_length), &error);
    if (buffer == nullptr) {
        g_clear_error(&error);
        g_object_unref(urb);
        return -EFAULT;
    }
    if (dev.gone && u->type != USBDEVFS_URB_TYPE_BULK) {
        g_object_unref(urb);
        return -ENODEV;
    }
    // Another holds the interface of every bulk endpoint: the kernel tries
    // to claim it for the caller, and cannot. Nothing reaches the device.
    const bool other_holds =
        !dev.device->spec.held.empty() || (dev.claimed_by != nullptr && dev.claimed_by != client);
    if (!dev.gone && u->type == USBDEVFS_URB_TYPE_BULK && other_holds) {
        dev.refused_submits += 1;
        g_object_unref(urb);
        return -EBUSY;
    }

    pending_urb p{urb, g_get_monotonic_time(), 0, 0, no_event, client};
    bool bulk_out = u->type == USBDEVFS_URB_TYPE_BULK && (u->endpoint & 0x80) == 0;
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        on_control(dev, urb, buffer, p);
    } else if (bulk_out) {
        bool was_gone = dev.gone;
        on_bulk_out(dev, urb, buffer, p);
        if (was_gone) {
            // An unplugged device takes no more URBs at all.
            g_object_unref(urb);
            return -ENODEV;
        }
        if (p.ready_at >= 0)
            p.ready_at += dev.device->spec.service_us;
    } else {
        p.status = -EPIPE;
    }
    dev.pending.push_back(p);
    return 0;
}

gint reap_urb(plug_in &dev, UMockdevIoctlClient *client)
{
    std::int64_t now = g_get_monotonic_time();
    for (auto it = dev.pending.begin(); it != dev.pending.end(); ++it) {
        if (it->client != client || it->ready_at < 0 || it->ready_at > now)
            continue;
        UMockdevIoctlData *ptr = pointed_to(client, sizeof(void *));
        if (ptr == nullptr)
            return -EFAULT;
        usbdevfs_urb *u = urb_of(it->urb);
        u->status = it->status;
        u->actual_length = it->actual_length;
        umockdev_ioctl_data_set_ptr(ptr, 0, it->urb);
        g_object_unref(it->urb);
        g_object_unref(ptr);
        dev.pending.erase(it);
        return 0;
    }
    return dev.gone ? -ENODEV : -EAGAIN;
}

gint discard_urb(plug_in &dev, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    for (pending_urb &p : dev.pending) {
        if (p.client != client || p.urb->client_addr != address)
            continue;
        if (p.ready_at >= 0 && p.ready_at <= g_get_monotonic_time())
            return -EINVAL; // already done; the reap will return it
        p.ready_at = 0;
        p.status = -ENOENT;
        p.actual_length = 0;
        return 0;
    }
    return -EINVAL;
}

void disconnect(plug_in &p)
{
    p.gone = true;
    const std::int64_t now = g_get_monotonic_time();
    for (pending_urb &u : p.pending) {
        if (u.ready_at >= 0 && u.ready_at <= now)
            continue; // finished before: still reaped as it ended
        u.ready_at = now;
        u.status = -ENODEV;
        u.actual_length = 0;
        if (u.event != no_event) {
            p.rec.events[u.event].result = account::outcome::gone;
            p.rec.events[u.event].taken = 0;
        }
    }
}

} // namespace vdev
