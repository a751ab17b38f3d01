#include "usb/winusb/device_id.h"

#include "usb/transport.h"

#include <cstdio>
#include <cstring>

int match_device_id(const char *instance_id, const char *serial)
{
    if (instance_id == nullptr)
        return 0;
    for (const usb_id *id = usb_ids; id->vid != 0; ++id) {
        char vid_text[match_text_size];
        char pid_text[match_text_size];
        std::snprintf(vid_text, sizeof vid_text, "VID_%04X", static_cast<unsigned>(id->vid));
        std::snprintf(pid_text, sizeof pid_text, "PID_%04X", static_cast<unsigned>(id->pid));
        // A serial is only found where the driver put it into the instance
        // ID, so it is searched for anywhere in it.
        if (std::strstr(instance_id, vid_text) != nullptr &&
            std::strstr(instance_id, pid_text) != nullptr &&
            (serial == nullptr || std::strstr(instance_id, serial) != nullptr))
            return 1;
    }
    return 0;
}

bool build_interface_path(const char *instance_id, std::span<char> path)
{
    if (path.empty())
        return false;
    // \\.\ then the ID, then the USB device interface class.
    constexpr std::size_t id_offset = 4;
    int n = std::snprintf(path.data(), path.size(),
                          "\\\\.\\%s#{A5DCBF10-6530-11D2-901F-00C04FB951ED}", instance_id);
    if (n < 0 || static_cast<std::size_t>(n) >= path.size()) {
        path[0] = '\0';
        return false;
    }
    const std::size_t id_end = id_offset + std::strlen(instance_id);
    for (std::size_t i = id_offset; i < id_end; ++i) {
        if (path[i] == '\\')
            path[i] = '#';
    }
    return true;
}
