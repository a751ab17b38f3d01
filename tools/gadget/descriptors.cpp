#include "descriptors.h"

#include <cstring>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

namespace
{

// Appends little-endian fields to a byte buffer that the caller sized.
struct byte_writer {
    std::span<unsigned char> out;
    std::size_t at = 0;

    void u8(unsigned value)
    {
        out[at++] = static_cast<unsigned char>(value);
    }
    void le16(unsigned value)
    {
        u8(value & 0xFF);
        u8((value >> 8) & 0xFF);
    }
    void le32(std::uint32_t value)
    {
        le16(value & 0xFFFF);
        le16(value >> 16);
    }
    void bytes(const void *data, std::size_t n)
    {
        std::memcpy(out.data() + at, data, n);
        at += n;
    }
};

// Interface 0 with two bulk endpoints: OUT first (the one the host writes
// to), then IN, which the flashing host never uses but keeps the interface
// shaped like the real device's.
void put_interface(byte_writer &w, std::uint16_t packet)
{
    w.u8(USB_DT_INTERFACE_SIZE);
    w.u8(USB_DT_INTERFACE);
    w.u8(0); // bInterfaceNumber
    w.u8(0); // bAlternateSetting
    w.u8(2); // bNumEndpoints
    w.u8(USB_CLASS_VENDOR_SPEC);
    w.u8(0); // bInterfaceSubClass
    w.u8(0); // bInterfaceProtocol
    w.u8(1); // iInterface: the first string of the strings blob
    for (std::uint8_t address : {gadget_ep_out, gadget_ep_in}) {
        w.u8(USB_DT_ENDPOINT_SIZE);
        w.u8(USB_DT_ENDPOINT);
        w.u8(address);
        w.u8(USB_ENDPOINT_XFER_BULK);
        w.le16(packet);
        w.u8(0); // bInterval
    }
}

// One extended compat ID feature descriptor naming WINUSB for interface 0,
// so a Windows host binds its generic driver without an INF.
void put_os_desc(byte_writer &w)
{
    w.u8(0);         // interface
    w.le32(11 + 24); // dwLength: this header and its one function section
    // bcdVersion: 1.00 is 0x0100, but kernels before 6.6 or so accept only
    // 0x0001 here (later ones still take it). The kernel writes the header
    // the host sees itself, with 0x0100.
    w.le16(0x0001);
    w.le16(0x0004); // wIndex: extended compat ID
    w.u8(1);        // bCount
    w.u8(0);        // reserved
    w.u8(0);        // bFirstInterfaceNumber
    // The reserved byte goes out as 1 on the wire, but the gadget framework
    // writes that itself; older kernels refuse anything but 0 here, newer
    // ones take 0 too.
    w.u8(0);
    const char compat[8] = {'W', 'I', 'N', 'U', 'S', 'B', 0, 0};
    w.bytes(compat, sizeof compat);
    const unsigned char zeros[8 + 6] = {};
    w.bytes(zeros, sizeof zeros); // sub-compatible ID and reserved bytes
}

} // namespace

std::size_t build_ffs_descriptors(std::span<unsigned char> out, bool with_os_desc)
{
    byte_writer w{out};
    std::uint32_t flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC;
    if (with_os_desc)
        flags |= FUNCTIONFS_HAS_MS_OS_DESC;
    const std::size_t total = with_os_desc ? ffs_descriptors_size : ffs_descriptors_size - 4 - 35;
    w.le32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    w.le32(static_cast<std::uint32_t>(total));
    w.le32(flags);
    w.le32(3); // full-speed descriptors: interface and two endpoints
    w.le32(3); // high-speed descriptors
    if (with_os_desc)
        w.le32(1);
    put_interface(w, full_speed_packet);
    put_interface(w, high_speed_packet);
    if (with_os_desc)
        put_os_desc(w);
    return w.at;
}

std::size_t build_ffs_strings(std::span<unsigned char> out, const char *interface_name)
{
    const std::size_t name_len = std::strlen(interface_name) + 1;
    const std::size_t total = 16 + 2 + name_len;
    if (out.size() < total)
        return 0;
    byte_writer w{out};
    w.le32(FUNCTIONFS_STRINGS_MAGIC);
    w.le32(static_cast<std::uint32_t>(total));
    w.le32(1);      // str_count
    w.le32(1);      // lang_count
    w.le16(0x0409); // English (United States)
    w.bytes(interface_name, name_len);
    return w.at;
}
