// flasher-gadget: the target device as a real USB gadget. It presents the
// device's IDs, serial and one bulk OUT endpoint on a USB device controller
// (configfs + FunctionFS), takes every transfer the host sends in order,
// can be unplugged and plugged in again while it runs, and when stopped
// prints the account of what each plug-in received.
#include "gadget.h"
#include "report.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace
{

// The speed the controller connected at, as the UDC class reports it.
bool connected_high_speed(const char *udc)
{
    char path[160];
    std::snprintf(path, sizeof path, "/sys/class/udc/%s/current_speed", udc);
    std::FILE *f = std::fopen(path, "r");
    if (!f)
        return false;
    char speed[32] = {};
    const bool ok = std::fgets(speed, sizeof speed, f) != nullptr;
    std::fclose(f);
    return ok && std::strncmp(speed, "high-speed", 10) == 0;
}

void handle_setup(gadget &g, const usb_ctrlrequest &setup)
{
    // The function answers no requests of its own: stall the data or status
    // stage by going the wrong way on ep0.
    if (setup.bRequestType & 0x80) {
        if (read(g.fn.ep0, g.buf, 0) < 0 && errno != EL2HLT)
            std::fprintf(stderr, "flasher-gadget: ep0 stall: %s\n", std::strerror(errno));
    } else if (write(g.fn.ep0, g.buf, 0) < 0 && errno != EL2HLT) {
        std::fprintf(stderr, "flasher-gadget: ep0 stall: %s\n", std::strerror(errno));
    }
}

bool handle_ep0(gadget &g)
{
    usb_functionfs_event events[4];
    const ssize_t n = read(g.fn.ep0, events, sizeof events);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof events[0]); ++i) {
        switch (events[i].type) {
        case FUNCTIONFS_ENABLE:
            g.enabled = true;
            g.high_speed = connected_high_speed(g.udc);
            if (!g.now.said_ready) {
                std::fprintf(stderr, "flasher-gadget: ready on %s as %04x:%04x serial %s, %s\n",
                             g.udc, g.id.vid, g.id.pid, g.id.serial,
                             g.high_speed ? "high speed" : "full speed");
                g.now.said_ready = true;
            }
            break;
        case FUNCTIONFS_DISABLE:
        case FUNCTIONFS_UNBIND:
            g.enabled = false;
            break;
        case FUNCTIONFS_SETUP:
            handle_setup(g, events[i].u.setup);
            break;
        default:
            break;
        }
    }
    return read_on(g);
}

// SIGUSR1: the host sees the device unplugged (its controller unbound).
void unplug(gadget &g)
{
    if (!g.bound) {
        std::fprintf(stderr, "flasher-gadget: already unplugged\n");
        return;
    }
    configfs_unbind(g.id.name);
    g.bound = false;
    std::fprintf(stderr, "flasher-gadget: unplugged after %zu transfers\n",
                 account::transfer_count(g.rec()));
}

// SIGUSR2: plugged in again, with an account of its own.
bool plug_in_again(gadget &g)
{
    if (g.bound) {
        std::fprintf(stderr, "flasher-gadget: already plugged in\n");
        return true;
    }
    g.plug_ins.emplace_back();
    g.now = plug_in_state{};
    std::fprintf(stderr, "flasher-gadget: plugged in again (plug-in %zu)\n", g.plug_ins.size());
    g.bound = configfs_bind(g.id.name, g.udc);
    return g.bound;
}

// A stop signal ends serving (true); the plug signals are acted on.
bool handle_signal(gadget &g, int signal_fd, bool &stop)
{
    signalfd_siginfo info{};
    if (read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return true;
    if (info.ssi_signo == SIGUSR1)
        unplug(g);
    else if (info.ssi_signo == SIGUSR2)
        return plug_in_again(g);
    else
        stop = true;
    return true;
}

// Serves ep0, transfers, the pause and the plug signals until a stop signal
// or the gadget vanishes.
bool serve(gadget &g, int signal_fd)
{
    bool stop = false;
    while (!g.vanished) {
        pollfd fds[3] = {
            {g.fn.ep0, POLLIN, 0}, {g.reader.event_fd, POLLIN, 0}, {signal_fd, POLLIN, 0}};
        const int r = poll(fds, 3, poll_timeout_ms(g));
        if (r < 0 && errno != EINTR)
            return false;
        if ((fds[2].revents & POLLIN) && !handle_signal(g, signal_fd, stop))
            return false;
        if (stop)
            return true;
        if ((fds[0].revents & POLLIN) && !handle_ep0(g))
            return false;
        if ((fds[1].revents & POLLIN) && !handle_completion(g))
            return false;
        if (!end_pause_when_due(g))
            return false;
    }
    return true;
}

bool start(gadget &g)
{
    if (g.opts.udc)
        std::snprintf(g.udc, sizeof g.udc, "%s", g.opts.udc);
    else if (!first_udc(g.udc, sizeof g.udc)) {
        std::fprintf(stderr, "flasher-gadget: no USB device controller in /sys/class/udc\n");
        return false;
    }
    char dir[128];
    if (g.opts.ffs_dir)
        std::snprintf(dir, sizeof dir, "%s", g.opts.ffs_dir);
    else
        std::snprintf(dir, sizeof dir, "/dev/ffs-%s", g.opts.name);
    // The function must exist in configfs before FunctionFS can be mounted,
    // and its descriptors must be written before the gadget is bound.
    if (!configfs_create(g.id)) {
        std::fprintf(stderr, "flasher-gadget: needs root, configfs mounted at /sys/kernel/config "
                             "and the libcomposite and usb_f_fs modules\n");
        return false;
    }
    if (!ffs_start(g.fn, g.id.name, dir, g.opts.os_desc) || !reader_open(g.reader))
        return false;
    g.bound = configfs_bind(g.id.name, g.udc);
    return g.bound;
}

void stop(gadget &g)
{
    reader_close(g.reader);
    if (g.bound)
        configfs_unbind(g.id.name);
    g.bound = false;
    ffs_stop(g.fn);
    configfs_remove(g.id);
    if (!g.opts.ffs_dir)
        rmdir(g.fn.dir);
}

} // namespace

int main(int argc, char **argv)
{
    static gadget g;
    g.opts.vid = FLASHER_GADGET_VID;
    g.opts.pid = FLASHER_GADGET_PID;
    const int parsed = parse_gadget_options(argc, argv, g.opts);
    if (parsed != 0)
        return parsed == 2 ? 0 : 1;
    g.id = {g.opts.name,       g.opts.vid,       g.opts.pid,    g.opts.serial,
            "flasher project", "flasher target", g.opts.os_desc};

    // Signals arrive through a descriptor, so stopping or plugging never
    // races a read.
    sigset_t signals;
    sigemptyset(&signals);
    for (const int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        sigaddset(&signals, sig);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC);

    const bool ok = signal_fd >= 0 && start(g) && serve(g, signal_fd);
    stop(g);
    if (!ok)
        return 1;
    // Exit status 1 only when a given file was not received intact.
    return report_plug_ins(g.plug_ins, g.opts.expect, g.opts.json, stdout);
}
