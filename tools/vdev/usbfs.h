// The usbfs ioctls of a plug-in's node: the URBs (urbs.cpp), answered for
// usbfs.cpp. Each returns 0 or -errno; call with state.lock held.
#pragma once

#include "tools/vdev/vdev.h"

#include <glib.h>

using UMockdevIoctlClient = struct _UMockdevIoctlClient;

namespace vdev
{

// What the ioctl's pointer argument points to, `size` bytes of the command's
// memory (written back when the ioctl completes); null when unreadable.
UMockdevIoctlData *pointed_to(UMockdevIoctlClient *client, std::size_t size);

gint submit_urb(plug_in &dev, UMockdevIoctlClient *client);

// Hands back the first URB that is ready, writing its address into the
// command's pointer and its status into the URB.
gint reap_urb(plug_in &dev, UMockdevIoctlClient *client);

// libusb discards a URB whose time-out expired; it is then reaped with
// -ENOENT.
gint discard_urb(plug_in &dev, UMockdevIoctlClient *client);

} // namespace vdev
