#include "tools/probe/win/pins.h"

#include "usb/winusb/device_id.h"

namespace
{

// A text the command line carries to flasher-win unchanged as its serial:
// "all" would be read as the erase flag, and the command prompt expands
// "%" and ends a quoted word at '"'.
bool can_be_given(const std::string &text)
{
    return !text.empty() && text != "all" && text.find_first_of("\"%") == std::string::npos;
}

// True when, of the devices with the table's IDs, only walk.devices[index]
// has `text` in its instance ID: flasher-win's own match decides.
bool selects_alone(const dryrun_win::walk_result &walk, std::size_t index, const std::string &text)
{
    if (!can_be_given(text) ||
        match_device_id(walk.devices[index].device.instance_id, text.c_str()) != 1)
        return false;
    for (std::size_t other = 0; other < walk.devices.size(); ++other) {
        const char *id = walk.devices[other].device.instance_id;
        if (other != index && match_device_id(id, text.c_str()) == 1)
            return false;
    }
    return true;
}

} // namespace

std::string pin_text(const dryrun_win::walk_result &walk, std::size_t index)
{
    const std::string id = walk.devices[index].device.instance_id;
    const std::size_t last_part = id.rfind('\\');
    if (last_part != std::string::npos && selects_alone(walk, index, id.substr(last_part + 1)))
        return id.substr(last_part + 1);
    for (std::size_t length = 1; length <= id.size(); ++length) {
        for (std::size_t start = id.size() - length + 1; start-- > 0;) {
            if (selects_alone(walk, index, id.substr(start, length)))
                return id.substr(start, length);
        }
    }
    return {};
}
