// The device side of usbfs: answers the ioctls that libusb sends to a device
// node (the URBs in urbs.cpp).
//
// A node's handler serves the plug-in that was there when the command opened
// it: an address is used again only after 126 others, so a node can outlive
// its plug-in and later belong to another one, as on a real bus.
#include "tools/vdev/usbfs.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace vdev
{

namespace
{

gint write_u32(UMockdevIoctlClient *client, std::uint32_t value)
{
    UMockdevIoctlData *out = pointed_to(client, sizeof value);
    if (out == nullptr)
        return -EFAULT;
    std::memcpy(out->data, &value, sizeof value);
    g_object_unref(out);
    return 0;
}

// The interface number the command passed (by pointer).
gint read_interface(UMockdevIoctlClient *client, unsigned &interface)
{
    UMockdevIoctlData *in = pointed_to(client, sizeof interface);
    if (in == nullptr)
        return -EFAULT;
    std::memcpy(&interface, in->data, sizeof interface);
    g_object_unref(in);
    return 0;
}

gint claim_interface(plug_in &dev, UMockdevIoctlClient *client)
{
    unsigned interface = 0;
    if (gint r = read_interface(client, interface); r != 0)
        return r;
    if (dev.gone)
        return -ENODEV;
    if (interface != 0) {
        dev.claimed = true;
        return 0;
    }
    if (!dev.device->spec.held.empty() || (dev.claimed_by != nullptr && dev.claimed_by != client)) {
        dev.refused_claims += 1;
        return -EBUSY;
    }
    dev.claimed = true;
    dev.claimed_by = client;
    return 0;
}

gint release_interface(plug_in &dev, UMockdevIoctlClient *client)
{
    unsigned interface = 0;
    if (gint r = read_interface(client, interface); r != 0)
        return r;
    if (interface == 0 && dev.claimed_by == client)
        dev.claimed_by = nullptr;
    return 0;
}

// The driver bound to an interface: the holder of interface 0 when there is
// one (usbfs when a program of the command claimed it), else none (ENODATA,
// as the kernel answers for an interface no driver has).
gint get_driver(const plug_in &dev, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *out = pointed_to(client, sizeof(usbdevfs_getdriver));
    if (out == nullptr)
        return -EFAULT;
    auto *d = reinterpret_cast<usbdevfs_getdriver *>(out->data);
    const std::string held = !dev.device->spec.held.empty() ? dev.device->spec.held
                             : dev.claimed_by != nullptr    ? std::string("usbfs")
                                                            : std::string();
    gint result = dev.gone ? -ENODEV : d->interface != 0 || held.empty() ? -ENODATA : 0;
    if (result == 0) {
        std::memset(d->driver, 0, sizeof d->driver);
        std::memcpy(d->driver, held.data(), held.size()); // at most USBDEVFS_MAXDRIVERNAME
    }
    g_object_unref(out);
    return result;
}

gint dispatch(plug_in &dev, UMockdevIoctlClient *client)
{
    gulong request = umockdev_ioctl_client_get_request(client);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        return write_u32(client, USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM);
    case USBDEVFS_CLAIMINTERFACE:
        return claim_interface(dev, client);
    case USBDEVFS_GETDRIVER:
        return get_driver(dev, client);
    case USBDEVFS_RELEASEINTERFACE:
        return release_interface(dev, client);
    case USBDEVFS_SUBMITURB:
        return submit_urb(dev, client);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return reap_urb(dev, client);
    case USBDEVFS_DISCARDURB:
        return discard_urb(dev, client);
    default:
        return -ENOTTY;
    }
}

constexpr const char *client_key = "flasher-vdev-plug-in";

// The plug-in a client (one open node of the command) talks to: the one
// there at its first ioctl, which follows the open at once.
plug_in *plug_in_of(UMockdevIoctlClient *client, const std::string &devnode)
{
    auto *p = static_cast<plug_in *>(g_object_get_data(G_OBJECT(client), client_key));
    if (p == nullptr) {
        p = plug_in_at(devnode);
        g_object_set_data(G_OBJECT(client), client_key, p);
    }
    return p;
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user)
{
    const auto *devnode = static_cast<const std::string *>(user);
    gint result;
    {
        std::lock_guard<std::mutex> hold(state.lock);
        plug_in *p = plug_in_of(client, *devnode);
        result = p != nullptr ? dispatch(*p, client) : -ENODEV;
    }
    if (result < 0)
        umockdev_ioctl_client_complete(client, -1, -result);
    else
        umockdev_ioctl_client_complete(client, result, 0);
    return TRUE;
}

// A program closed the node (or ended): a claim made through it goes.
void on_client_vanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer)
{
    std::lock_guard<std::mutex> hold(state.lock);
    if (plug_in *p = static_cast<plug_in *>(g_object_get_data(G_OBJECT(client), client_key));
        p != nullptr && p->claimed_by == client)
        p->claimed_by = nullptr;
}

} // namespace

UMockdevIoctlData *pointed_to(UMockdevIoctlClient *client, std::size_t size)
{
    GError *error = nullptr;
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    g_clear_error(&error);
    return data;
}

bool attach_usbfs(UMockdevTestbed *testbed, const std::string &devnode, std::string &error)
{
    // The map's key outlives the handler: it is the handler's user data.
    auto [at, added] = state.nodes.emplace(devnode, umockdev_ioctl_base_new());
    (void)added;
    g_signal_connect(at->second, "handle-ioctl", G_CALLBACK(on_ioctl),
                     const_cast<std::string *>(&at->first));
    g_signal_connect(at->second, "client-vanished", G_CALLBACK(on_client_vanished), nullptr);
    GError *err = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, devnode.c_str(), at->second, &err)) {
        error = std::string("cannot attach to ") + devnode + ": " + err->message;
        g_clear_error(&err);
        return false;
    }
    return true;
}

} // namespace vdev
