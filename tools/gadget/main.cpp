// flasher-gadget: the target device as a real USB gadget. It presents the
// device's IDs, serial and one bulk OUT endpoint on a USB device controller
// (configfs + FunctionFS), takes every transfer the host sends in order,
// and when stopped prints the account of what it received.
#include "configfs.h"
#include "descriptors.h"
#include "ffs.h"
#include "options.h"
#include "tools/account/account.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace
{

struct gadget {
    gadget_options opts;
    gadget_identity id{};
    char udc[64] = {};
    ffs_function fn;
    ffs_reader reader;
    account::recording rec;
    bool bound = false;
    bool enabled = false;
    bool said_ready = false;
    bool high_speed = false;
    bool stalled = false;
    bool vanished = false;
    bool paused = false;
    bool pause_done = false;        // the pause fault strikes once
    bool paused_since_last = false; // a gap then is the gadget's own doing
    timespec pause_end{};
    timespec last_taken{};
    unsigned char buf[4096];
};

double now_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double seconds_of(const timespec &ts)
{
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

timespec timespec_of(double s)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(s);
    ts.tv_nsec = static_cast<long>((s - static_cast<double>(ts.tv_sec)) * 1e9);
    return ts;
}

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

// How much to ask for in the next read. The controller ends a read on a
// short packet or when the buffer is full. At high speed (512-byte packets)
// every message of the protocol is shorter than a packet, so a large read
// holds exactly one transfer. At full speed a 64-byte chunk is a full packet
// with no zero-length packet after it, so a larger read would run on into
// the next transfer: read one packet at a time, except for the 256-byte
// parameter block, which follows a lone announcement byte.
std::size_t next_read_length(const gadget &g)
{
    if (g.high_speed)
        return sizeof g.buf;
    const auto &ev = g.rec.events;
    for (std::size_t i = ev.size(); i-- > 0;) {
        if (ev[i].is_pause)
            continue;
        const bool announce = ev[i].length == 1 && g.rec.data[ev[i].offset] == 0xE8;
        return announce ? 256 : full_speed_packet;
    }
    return full_speed_packet;
}

// A transfer the host sent and the gadget took. A quiet spell of two seconds
// or more before it (not of the gadget's own making) is recorded as the
// host's pause, in whole seconds, so the account shows the pause after an
// erase. Shorter spells are left out: a loaded machine makes those anyway.
void take(gadget &g, std::size_t len)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (account::transfer_count(g.rec) > 0 && !g.paused_since_last) {
        const double gap = seconds_of(now) - seconds_of(g.last_taken);
        if (gap >= 2.0)
            account::record_pause(g.rec, static_cast<unsigned>(gap));
    }
    g.paused_since_last = false;
    g.last_taken = now;
    account::record_transfer(g.rec, {g.buf, len}, len, account::outcome::completed);
}

// Applies the fault due after the transfers taken so far; true when the
// gadget may read on.
bool apply_faults(gadget &g)
{
    const std::size_t n = account::transfer_count(g.rec);
    if (n == g.opts.vanish_at && !g.vanished) {
        std::fprintf(stderr, "flasher-gadget: unplugging after %zu transfers\n", n);
        configfs_unbind(g.id.name);
        g.bound = false;
        g.vanished = true;
        return false;
    }
    if (n == g.opts.stall_at && !g.stalled) {
        // Writing to an OUT endpoint's file is FunctionFS's way to halt it.
        unsigned char dummy = 0;
        const ssize_t r = write(g.fn.ep_out, &dummy, 1);
        if (r >= 0 || errno != EBADMSG) {
            std::fprintf(stderr, "flasher-gadget: could not halt the OUT endpoint: %s\n",
                         r < 0 ? std::strerror(errno) : "write went through");
            return false;
        }
        std::fprintf(stderr, "flasher-gadget: halted the OUT endpoint after %zu transfers\n", n);
        g.stalled = true;
    }
    if (g.stalled)
        return false;
    if (n == g.opts.pause_at && !g.pause_done) {
        std::fprintf(stderr, "flasher-gadget: taking nothing for %u ms after %zu transfers\n",
                     g.opts.pause_ms, n);
        g.paused = true;
        g.pause_done = true;
        g.paused_since_last = true;
        g.pause_end = timespec_of(now_s() + g.opts.pause_ms / 1000.0);
        return false;
    }
    return !g.paused;
}

bool read_on(gadget &g)
{
    if (!g.enabled || g.reader.busy || !apply_faults(g))
        return true;
    return reader_submit(g.reader, g.fn.ep_out, g.buf, next_read_length(g));
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
            if (!g.said_ready) {
                std::fprintf(stderr, "flasher-gadget: ready on %s as %04x:%04x serial %s, %s\n",
                             g.udc, g.id.vid, g.id.pid, g.id.serial,
                             g.high_speed ? "high speed" : "full speed");
                g.said_ready = true;
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

bool handle_completion(gadget &g)
{
    long long result = 0;
    if (!reader_collect(g.reader, result))
        return true;
    if (result > 0)
        take(g, static_cast<std::size_t>(result));
    else if (result < 0 && result != -ESHUTDOWN && result != -ECONNRESET)
        std::fprintf(stderr, "flasher-gadget: read failed: %s\n",
                     std::strerror(static_cast<int>(-result)));
    // A disabled endpoint waits for the host to configure it again.
    if (result == -ESHUTDOWN || result == -ECONNRESET)
        g.enabled = false;
    return read_on(g);
}

int poll_timeout_ms(const gadget &g)
{
    if (!g.paused)
        return -1;
    const double left = seconds_of(g.pause_end) - now_s();
    return left <= 0 ? 0 : static_cast<int>(left * 1000.0) + 1;
}

// Serves ep0, transfers and the pause until a signal or the gadget vanishes.
bool serve(gadget &g, int signal_fd)
{
    while (!g.vanished) {
        pollfd fds[3] = {
            {g.fn.ep0, POLLIN, 0}, {g.reader.event_fd, POLLIN, 0}, {signal_fd, POLLIN, 0}};
        const int r = poll(fds, 3, poll_timeout_ms(g));
        if (r < 0 && errno != EINTR)
            return false;
        if (fds[2].revents & POLLIN)
            return true;
        if ((fds[0].revents & POLLIN) && !handle_ep0(g))
            return false;
        if ((fds[1].revents & POLLIN) && !handle_completion(g))
            return false;
        if (g.paused && seconds_of(g.pause_end) <= now_s()) {
            g.paused = false;
            if (!read_on(g))
                return false;
        }
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

// Prints the account (and the check against the expected file) to stdout.
// Exit status 1 only when a given file was not received intact.
int report(const gadget &g)
{
    if (g.opts.json) {
        account::print_account_json(g.rec, stdout);
        std::fputc('\n', stdout);
    } else {
        account::print_account(g.rec, stdout);
    }
    int status = 0;
    if (g.opts.expect &&
        account::check_image(g.rec, g.opts.expect, stdout) != account::check_result::intact)
        status = 1;
    std::fflush(stdout);
    return status;
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

    // Signals arrive through a descriptor, so stopping never races a read.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);

    const bool ok = signal_fd >= 0 && start(g) && serve(g, signal_fd);
    stop(g);
    if (!ok)
        return 1;
    return report(g);
}
