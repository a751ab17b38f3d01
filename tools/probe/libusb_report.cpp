#include "tools/probe/libusb_report.h"

#include "tools/probe/device_report.h"
#include "tools/probe/words.h"

namespace
{

std::string selectors_text(const probe_subject &subject)
{
    std::string text;
    if (subject.serial != nullptr)
        text = std::string("serial \"") + subject.serial + "\" (equal to the device's serial)";
    if (subject.usb_path != nullptr)
        text +=
            std::string(text.empty() ? "" : ", ") + "FLASHER_USBPATH \"" + subject.usb_path + "\"";
    return text;
}

listed_target listed(const dryrun::examined_device &d, const probe_subject &subject)
{
    listed_target t;
    t.name = device_name(d.ex);
    t.detail = serial_text(d.ex);
    t.outcome = describe_outcome(d, {subject.serial, subject.usb_path});
    if (t.outcome.kind == outcome_kind::write_fails) {
        t.outcome.reason += "; flasher would take it, and its erase would fail";
        t.fails_why = "interface 0 is held, so its erase would fail";
    }
    if (!t.outcome.advice.empty())
        t.advice.push_back(t.outcome.advice);
    t.usable = dryrun::usable(d);
    if (d.ex.path_known)
        t.pin = d.ex.path;
    return t;
}

std::string flasher_command(const probe_build &build, const probe_subject &subject)
{
    if (subject.args.empty())
        return std::string(build.program) + " ...";
    return build.command(build.program, subject.args);
}

const char usage_text[] =
    "Usage: flasher-probe [--paths] [signed_firmware.bin | params | erase [all] [serial]]\n"
    "       flasher-probe --help\n"
    "Tells what flasher would do with the same arguments and FLASHER_USBPATH, without\n"
    "writing to any device. Without arguments it surveys the devices only.\n"
    "  --paths   print only the usb path of each device flasher could use, one a line\n"
    "  --help    print this text\n"
    "Exit status: 0 flasher would send the whole input; 1 it would fail (the input\n"
    "cannot be read, no device it can use); 3 it would run but leave bytes of the\n"
    "file unsent, or only erase; 2 bad options.\n";

} // namespace

const probe_build flasher_probe{"flasher", usage_text, shell_command, search_libusb,
                                print_usb_path_pins};

listed_search libusb_listed_search(const dryrun::walk_result &walk, const probe_subject &subject)
{
    listed_search search;
    search.listed = walk.listed;
    search.stop = walk.stop;
    if (const std::string selectors = selectors_text(subject); !selectors.empty())
        search.selectors.push_back(selectors);
    for (const dryrun::examined_device &d : walk.devices)
        search.devices.push_back(listed(d, subject));
    for (const device_examination &other : walk.other_products) {
        search.other_products.push_back(other_product_text(other));
        search.others += "; " + device_name(other) + " has " + ids_text(other.vid, other.pid);
    }
    return search;
}

listed_search search_libusb(const probe_subject &subject, const dry_run * /*run*/)
{
    if (dryrun::searched_at_all())
        return libusb_listed_search(dryrun::searched(), subject);
    return libusb_listed_search(dryrun::walk(subject.serial, subject.usb_path), subject);
}

void print_usb_path_pins(std::FILE *out, const probe_build &build, const probe_findings &f)
{
    const std::vector<std::string> paths = usable_pins(f.search);
    const listed_target *stop = stop_device(f.search);
    if (paths.empty() || !searches(f))
        return;
    const bool fails_first = stop != nullptr && !stop->usable;
    if (paths.size() < 2 && !fails_first)
        return;
    if (fails_first)
        std::fprintf(out, "%s %s %s; pinned, it passes over it:\n", build.program,
                     stop->outcome.kind == outcome_kind::fails_attempt ? "gives up at" : "fails on",
                     stop->name.c_str());
    else if (f.subject.serial != nullptr)
        std::fprintf(out,
                     "several devices have the serial \"%s\": %s takes the first it "
                     "examines, %s; to pin one:\n",
                     f.subject.serial, build.program, paths[0].c_str());
    else
        std::fprintf(out, "several devices pass: %s takes the first it examines, %s; to pin one:\n",
                     build.program, paths[0].c_str());
    const std::string command = flasher_command(build, f.subject);
    for (const std::string &path : paths)
        std::fprintf(out, "  FLASHER_USBPATH=%s %s\n", shell_word(path).c_str(), command.c_str());
}
