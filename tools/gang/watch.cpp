#include "tools/gang/watch.h"

#include "tools/gang/hotplug.h"
#include "tools/gang/signals.h"
#include "tools/gang/summary.h"
#include "tools/gang/survey.h"
#include "tools/probe/device_report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <unistd.h>

namespace
{

struct port {
    std::string usb_path;
    bool present = false;     // plugged in now, as the events tell
    unsigned plug_ins = 0;    // arrivals so far
    board *current = nullptr; // the board of the current (or last) plug-in
    bool waiting = false;     // arrived while the last plug-in's flasher still runs
    bool retrying = false;    // unusable for a reason that can change: judged again
    steady_time retry_at{};
};

struct session {
    gang_run &run;
    std::map<std::string, port> ports;
};

// Unusable for a reason that can pass while the board stays plugged in:
// another lets it go, a udev rule opens it up, or the kernel (which
// announces a device before it has set its configuration) configures it.
bool can_change(const dryrun::examined_device &device)
{
    const device_verdict v = device.ex.verdict;
    return is_held(device.holder) || v == device_verdict::config_unreadable ||
           (v == device_verdict::cannot_open && (device.ex.open_error == LIBUSB_ERROR_ACCESS ||
                                                 device.ex.open_error == LIBUSB_ERROR_BUSY));
}

// When to judge it again: a configuration is set within moments of the
// arrival, so the first look again comes soon; the rest wait on a person.
std::chrono::milliseconds retry_after(const dryrun::examined_device &device, bool first)
{
    return first && device.ex.verdict == device_verdict::config_unreadable ? first_config_retry
                                                                           : retry_interval;
}

// The device at this port, as flasher pinned to it would find it.
const dryrun::examined_device *find_at(const dryrun::walk_result &walk, const std::string &path)
{
    for (const dryrun::examined_device &d : walk.devices) {
        if (d.ex.path_known && path == d.ex.path && d.ex.verdict != device_verdict::path_differs)
            return &d;
    }
    return nullptr;
}

// Judges the port's current plug-in with flasher's own checks and flashes
// it when it is usable.
void judge(session &s, port &p)
{
    board &b = *p.current;
    p.waiting = false;
    const dryrun::walk_result walk = dryrun::walk(nullptr, p.usb_path.c_str());
    const dryrun::examined_device *device = find_at(walk, p.usb_path);
    if (device == nullptr) {
        p.retrying = false;
        b.reason = "unplugged before it could be examined";
        end_unstarted(s.run, b, board_result::not_flashed);
        return;
    }
    const board found = board_of(*device);
    b.serial = found.serial;
    if (found.result != board_result::not_flashed) {
        p.retrying = false;
        b.reason.clear();
        b.phase = board_phase::starting;
        if (!record_writable(s.run, b))
            return;
        if (!skip_if_done(s.run, b))
            start_board(s.run, b);
        return;
    }
    b.reason = found.reason;
    b.advice = found.advice;
    b.phase = board_phase::not_flashed;
    if (!can_change(*device)) {
        p.retrying = false;
        end_unstarted(s.run, b, board_result::not_flashed);
        return;
    }
    // Recorded when it leaves, or when the session ends, if it never passes.
    b.reason += " (tried again while it stays plugged in)";
    show_changed(s.run.disp);
    p.retry_at = std::chrono::steady_clock::now() + retry_after(*device, !p.retrying);
    p.retrying = true;
}

void arrived(session &s, const std::string &path)
{
    port &p = s.ports[path];
    p.usb_path = path;
    if (p.present)
        return; // already armed for this plug-in
    p.present = true;
    ++p.plug_ins;
    board &b = s.run.boards.emplace_back();
    b.usb_path = path;
    b.plug_in = p.plug_ins;
    b.log_name = path + "_" + std::to_string(p.plug_ins) + ".log";
    const bool busy = p.current != nullptr && running(*p.current);
    p.current = &b;
    show_port(s.run.disp, true, path, p.plug_ins);
    p.retrying = false;
    if (busy)
        p.waiting = true; // judged once the last plug-in's flasher has ended
    else
        judge(s, p);
}

// The port is armed again; a plug-in that never got a flasher is recorded.
void left(session &s, const std::string &path)
{
    const auto found = s.ports.find(path);
    if (found == s.ports.end())
        return;
    port &p = found->second;
    if (!p.present)
        return;
    p.present = false;
    show_port(s.run.disp, false, path, p.plug_ins);
    if (p.current != nullptr && (p.retrying || p.waiting)) {
        if (p.waiting)
            p.current->reason = "unplugged before it could be examined";
        p.retrying = p.waiting = false;
        end_unstarted(s.run, *p.current, board_result::not_flashed);
    }
}

void take_events(session &s)
{
    for (const hotplug_event &e : take_hotplug_events()) {
        if (e.usb_path.empty())
            continue; // cannot be pinned, so flasher could not be given it
        if (e.arrived)
            arrived(s, e.usb_path);
        else
            left(s, e.usb_path);
    }
}

// Ports whose flasher has ended with a plug-in waiting, and retries due.
void move_ports_on(session &s)
{
    const steady_time now = std::chrono::steady_clock::now();
    for (auto &[path, p] : s.ports) {
        const bool free_now = p.waiting && !running(*p.current);
        if (free_now || (p.retrying && now >= p.retry_at))
            judge(s, p);
    }
}

int timeout_ms(const session &s)
{
    int timeout = tick_ms(s.run);
    const steady_time now = std::chrono::steady_clock::now();
    for (const auto &[path, p] : s.ports) {
        if (!p.retrying)
            continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(p.retry_at - now);
        const int ms = left.count() < 0 ? 0 : static_cast<int>(left.count());
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    return timeout;
}

void round_of(session &s, bool stopping)
{
    std::vector<pollfd> fds{{s.run.signal_fd, POLLIN, 0}};
    const std::size_t usb_fds = stopping ? 0 : add_hotplug_fds(fds);
    std::vector<flasher_pipe> pipes;
    add_flasher_pipes(s.run, fds, pipes);
    if (poll(fds.data(), fds.size(), timeout_ms(s)) < 0 && errno != EINTR)
        return;
    if ((fds[0].revents & POLLIN) != 0 && take_stop_signal(s.run.signal_fd) != 0 &&
        !s.run.interrupted)
        stop_all(s.run);
    take_flasher_pipes(s.run, fds.data() + 1 + usb_fds, pipes);
    if (!s.run.interrupted) {
        take_events(s);
        move_ports_on(s);
    }
    show_tick(s.run.disp);
}

// The session ends: plug-ins that never got a flasher are recorded.
void close_session(session &s)
{
    for (auto &[path, p] : s.ports) {
        if (p.current != nullptr && (p.retrying || p.waiting)) {
            if (p.waiting)
                p.current->reason = "the session ended before it could be examined";
            end_unstarted(s.run, *p.current, board_result::not_flashed);
        }
    }
}

// libusb hears of boards through udev's daemon: without one (a container,
// a bare initramfs) it reports the boards attached at the start and then
// nothing, and the station would wait in silence. (umockdev's testbed, where
// UMOCKDEV_DIR is set, stands in for the daemon.)
void warn_without_udev()
{
#ifdef __linux__
    if (access("/run/udev/control", F_OK) != 0 && std::getenv("UMOCKDEV_DIR") == nullptr)
        std::fprintf(stderr, "flasher-gang: warning: no udev daemon runs here (/run/udev/control "
                             "is missing): boards plugged in from now on go unnoticed\n");
#endif
}

} // namespace

int watch(gang_run &run)
{
    std::string error;
    if (!start_hotplug(error)) {
        std::fprintf(stderr, "flasher-gang: %s\n", error.c_str());
        return 1;
    }
    warn_without_udev();
    session s{run, {}};
    run.disp.live_lines = [&s](steady_time now) {
        std::vector<std::string> lines;
        for (const auto &[path, p] : s.ports)
            lines.push_back(live_line(s.run.disp, *p.current, now) +
                            (p.present ? "" : "  (unplugged)"));
        lines.push_back(tally_text(tally(s.run)) + "; Ctrl-C ends the session");
        return lines;
    };
    show_changed(run.disp);
    take_events(s); // the boards attached already, reported as arrivals
    while (!run.interrupted || any_running(run))
        round_of(s, run.interrupted);
    close_session(s);
    return 0;
}
