// Every line flasher prints. Scripts match these texts, so they never change.
// All of them go to standard error, but for the two device-discovery lines of
// the libusb back-end, which go to standard output.
#pragma once

namespace msg
{
inline constexpr char usage_flash[] = "Usage: %s signed_firmware.bin | params [all] [serial]\n";
inline constexpr char usage_erase[] = "Usage: %s erase [all] [serial]\n";
inline constexpr char cannot_open_firmware[] = "cannot open firmware %s\n";
inline constexpr char usb_trying_again[] = "cannot open usb connection, trying again\n";
inline constexpr char usb_giving_up[] = "cannot open usb connection, giving up\n";

inline constexpr char params_write_error[] = "write error\n";
inline constexpr char params_read_error[] = "error reading parameters\n";
inline constexpr char params_block_error[] = "error writing parameters\n";

inline constexpr char continuing[] = "continuing with flashing\n";
inline constexpr char erased[] = "erased\n";
inline constexpr char erase_error[] = "erase error\n";
inline constexpr char flashing_error[] = "error during flashing\n";
inline constexpr char firmware_read_error[] = "error reading firmware\n";
inline constexpr char page_done[] = "page: %-3d\n";

// The libusb back-end's discovery lines (standard output): a target device's
// usb path, and the serial read from each device it opens (the read's result,
// a length or a negative libusb error, then the text).
inline constexpr char device_path[] = "Path: %s\n";
inline constexpr char device_serial[] = "string desc %d %s\n";
} // namespace msg
