#include "configfs.h"

#include "descriptors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr char gadget_root[] = "/sys/kernel/config/usb_gadget";

// Path of an entry below the gadget directory; "" for the directory itself.
void gadget_path(char *buf, int size, const char *name, const char *rel)
{
    std::snprintf(buf, size, "%s/%s%s%s", gadget_root, name, *rel ? "/" : "", rel);
}

bool make_dir(const char *name, const char *rel)
{
    char path[256];
    gadget_path(path, sizeof path, name, rel);
    if (mkdir(path, 0755) == 0 || errno == EEXIST)
        return true;
    std::fprintf(stderr, "flasher-gadget: mkdir %s: %s\n", path, std::strerror(errno));
    return false;
}

// configfs attributes take one write of the whole value.
bool write_attr(const char *name, const char *rel, const char *value)
{
    char path[256];
    gadget_path(path, sizeof path, name, rel);
    const int fd = open(path, O_WRONLY);
    if (fd < 0) {
        std::fprintf(stderr, "flasher-gadget: open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    const ssize_t len = static_cast<ssize_t>(std::strlen(value));
    const ssize_t n = write(fd, value, len);
    const int err = errno;
    close(fd);
    if (n != len) {
        std::fprintf(stderr, "flasher-gadget: write %s: %s\n", path, std::strerror(err));
        return false;
    }
    return true;
}

bool link_in(const char *name, const char *target_rel, const char *link_rel)
{
    char target[256];
    char link_path[256];
    gadget_path(target, sizeof target, name, target_rel);
    gadget_path(link_path, sizeof link_path, name, link_rel);
    if (symlink(target, link_path) == 0 || errno == EEXIST)
        return true;
    std::fprintf(stderr, "flasher-gadget: link %s: %s\n", link_path, std::strerror(errno));
    return false;
}

void remove_entry(const char *name, const char *rel, bool is_link)
{
    char path[256];
    gadget_path(path, sizeof path, name, rel);
    if (is_link)
        unlink(path);
    else
        rmdir(path);
}

} // namespace

bool configfs_create(const gadget_identity &id)
{
    char function[128];
    std::snprintf(function, sizeof function, "functions/ffs.%s", id.name);
    char hex[8];
    bool ok = make_dir(id.name, "");
    std::snprintf(hex, sizeof hex, "0x%04x", id.vid);
    ok = ok && write_attr(id.name, "idVendor", hex);
    std::snprintf(hex, sizeof hex, "0x%04x", id.pid);
    ok = ok && write_attr(id.name, "idProduct", hex);
    // USB 2.0: a Windows host asks for the Microsoft OS string only then.
    ok = ok && write_attr(id.name, "bcdUSB", "0x0200");
    ok = ok && write_attr(id.name, "bcdDevice", "0x0100");
    ok = ok && make_dir(id.name, "strings/0x409");
    ok = ok && write_attr(id.name, "strings/0x409/serialnumber", id.serial);
    ok = ok && write_attr(id.name, "strings/0x409/manufacturer", id.manufacturer);
    ok = ok && write_attr(id.name, "strings/0x409/product", id.product);
    ok = ok && make_dir(id.name, "configs/c.1");
    ok = ok && make_dir(id.name, "configs/c.1/strings/0x409");
    ok = ok && write_attr(id.name, "configs/c.1/strings/0x409/configuration", "flash");
    ok = ok && write_attr(id.name, "configs/c.1/MaxPower", "100");
    ok = ok && make_dir(id.name, function);
    ok = ok && link_in(id.name, function, "configs/c.1/function0");
    if (ok && id.os_desc) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02x", ms_os_vendor_code);
        ok = write_attr(id.name, "os_desc/b_vendor_code", code) &&
             write_attr(id.name, "os_desc/qw_sign", "MSFT100") &&
             write_attr(id.name, "os_desc/use", "1") &&
             link_in(id.name, "configs/c.1", "os_desc/c.1");
    }
    return ok;
}

bool configfs_bind(const char *name, const char *udc)
{
    return write_attr(name, "UDC", udc);
}

bool configfs_unbind(const char *name)
{
    // An empty line detaches; writing it to an unbound gadget fails harmlessly.
    return write_attr(name, "UDC", "\n");
}

void configfs_remove(const gadget_identity &id)
{
    char function[128];
    std::snprintf(function, sizeof function, "functions/ffs.%s", id.name);
    remove_entry(id.name, "os_desc/c.1", true);
    remove_entry(id.name, "configs/c.1/function0", true);
    remove_entry(id.name, "configs/c.1/strings/0x409", false);
    remove_entry(id.name, "configs/c.1", false);
    remove_entry(id.name, function, false);
    remove_entry(id.name, "strings/0x409", false);
    remove_entry(id.name, "", false);
}

bool first_udc(char *buf, int size)
{
    DIR *dir = opendir("/sys/class/udc");
    if (!dir)
        return false;
    bool found = false;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::snprintf(buf, size, "%s", entry->d_name);
        found = true;
        break;
    }
    closedir(dir);
    return found;
}
