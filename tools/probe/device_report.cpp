#include "tools/probe/device_report.h"

#include "tools/probe/words.h"
#include "usb/transport.h"

namespace
{

struct open_error_text {
    int error;
    const char *text;
};
constexpr open_error_text open_errors[] = {
    {LIBUSB_ERROR_ACCESS, "permission denied"},
    {LIBUSB_ERROR_BUSY, "busy: another program holds it"},
    {LIBUSB_ERROR_NO_DEVICE, "gone: unplugged while it was examined"},
};

std::string cannot_open_text(int error)
{
    for (const open_error_text &e : open_errors) {
        if (e.error == error)
            return e.text;
    }
    return libusb_strerror(error);
}

const char permission_advice[] =
    "install flasher's udev rule (70-flasher.rules, in the flasher package or from \"sudo cmake "
    "--install build\"), then run \"sudo udevadm control --reload-rules && sudo udevadm "
    "trigger\"; over ssh or as a service, the user must also be in the group plugdev";

const char program_advice[] = "another program has claimed interface 0 (another flasher, say): "
                              "let it finish, or stop it, and try again";

// A device that passes every check: free, or held by another.
device_outcome judge_holder(const interface_holder &holder)
{
    switch (holder.kind) {
    case holder_kind::program:
        return {outcome_kind::write_fails, "busy: interface 0 is held by another program (usbfs)",
                program_advice};
    case holder_kind::kernel_driver:
        return {outcome_kind::write_fails,
                "busy: interface 0 is held by the kernel driver " + holder.driver,
                "flasher does not detach kernel drivers: unbind " + holder.driver +
                    " from the device (as root, through /sys/bus/usb/drivers/" + holder.driver +
                    "/unbind) and try again"};
    case holder_kind::none:
    case holder_kind::unknown:
        break;
    }
    return {outcome_kind::chosen, {}, {}};
}

std::string quoted(const char *text)
{
    return std::string("\"") + (text != nullptr ? text : "") + "\"";
}

// Why the checks did not choose a device, and what to do about it.
struct not_chosen {
    std::string reason;
    std::string advice;
};

not_chosen why_not_chosen(const device_examination &ex, const search_selectors &selectors)
{
    switch (ex.verdict) {
    case device_verdict::no_path:
        return {"its usb path cannot be built, and FLASHER_USBPATH is set", {}};
    case device_verdict::path_differs:
        return {"its usb path is not FLASHER_USBPATH " + quoted(selectors.usb_path), {}};
    case device_verdict::config_unreadable:
        return {"its active configuration cannot be read", {}};
    case device_verdict::cannot_open:
        return {"cannot be opened: " + cannot_open_text(ex.open_error),
                ex.open_error == LIBUSB_ERROR_ACCESS ? permission_advice : ""};
    case device_verdict::serial_differs:
        return {"its serial is not " + quoted(selectors.serial), {}};
    case device_verdict::no_interface:
        return {"its configuration has no interface", {}};
    case device_verdict::no_alt_setting:
        return {"interface 0 has no alternate setting", {}};
    case device_verdict::no_out_endpoint:
        return {"interface 0, setting 0, has no OUT endpoint", {}};
    case device_verdict::chosen:
    case device_verdict::not_target:
        break;
    }
    return {"not a target device", {}};
}

} // namespace

device_outcome describe_outcome(const dryrun::examined_device &device,
                                const search_selectors &selectors)
{
    if (device.ex.verdict == device_verdict::chosen)
        return judge_holder(device.holder);
    not_chosen why = why_not_chosen(device.ex, selectors);
    // The walk says which verdicts end the attempt.
    return {ends_attempt(device.ex.verdict) ? outcome_kind::fails_attempt
                                            : outcome_kind::passed_over,
            std::move(why.reason), std::move(why.advice)};
}

std::string device_name(const device_examination &ex)
{
    return ex.path_known ? std::string(ex.path) : std::string("a device with no usb path");
}

std::string serial_text(const device_examination &ex)
{
    if (!ex.serial_read)
        return "serial not read";
    if (ex.serial_status < 0)
        return "serial unreadable (libusb " + std::to_string(ex.serial_status) + ")";
    return std::string("serial \"") + ex.serial + "\"";
}

std::string other_product_text(const device_examination &ex)
{
    return device_name(ex) + " has " + ids_text(ex.vid, ex.pid) + "; this flasher looks for " +
           ids_text(usb_ids[0].vid, usb_ids[0].pid);
}
