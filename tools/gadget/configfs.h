// The configfs side of the gadget: a gadget directory with the device's IDs
// and strings, one configuration holding one FunctionFS function, Microsoft
// OS descriptor support, and binding to a USB device controller.
#pragma once

#include <cstdint>

struct gadget_identity {
    const char *name; // configfs directory and FunctionFS instance name
    std::uint16_t vid;
    std::uint16_t pid;
    const char *serial;
    const char *manufacturer;
    const char *product;
    bool os_desc; // offer Microsoft OS descriptors (extended compat ID)
};

// Creates the gadget and its function. Returns false (with a message on
// stderr) when configfs refuses; what was created is left for remove.
bool configfs_create(const gadget_identity &id);

// Binds the gadget to controller udc (for example "dummy_udc.0"), which
// attaches it to the bus. The function's descriptors must be written first.
bool configfs_bind(const char *name, const char *udc);

// Detaches the gadget from its controller: the host sees it unplugged.
bool configfs_unbind(const char *name);

// Removes everything configfs_create made, in reverse order, ignoring what
// is already gone.
void configfs_remove(const gadget_identity &id);

// The first controller listed in /sys/class/udc, into buf; false if none.
bool first_udc(char *buf, int size);
