#include "tools/gang/watch.h"

#include "tools/gang/options.h"
#include "tools/gang/signals.h"
#include "tools/gang/summary.h"
#include "tools/gang/survey.h"
#include "tools/probe/device_report.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace
{

const char gone_before_judged[] = "unplugged before it could be examined";
const char ended_before_judged[] = "the session ended before it could be examined";
const char tried_again[] = " (tried again while it stays plugged in)";

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

// The board's flasher runs, or waits for the database's answer to start.
bool busy(const board &b)
{
    return running(b) || b.asking;
}

} // namespace

void station::judge(port &p)
{
    board &b = *p.current;
    p.waiting = false;
    const dryrun::walk_result walk = dryrun::walk(nullptr, b.found.usb_path.c_str());
    const dryrun::examined_device *device = find_at(walk, b.found.usb_path);
    if (device == nullptr) {
        p.retrying = false;
        end_unstarted(sink_, b, board_result::not_flashed, gone_before_judged);
        return;
    }
    survey_facts found = facts_of(*device);
    found.plug_in = b.found.plug_in;
    b.found = found;
    if (found.usable) {
        p.retrying = false;
        // No record, no flash; then a board the record calls done is passed over.
        if (record_writable(sink_, b))
            checks_.flash_unless_done(b, serial_shared(pool_.boards, b));
        if (busy(b))
            p.flashing = &b;
        return;
    }
    if (!can_change(*device)) {
        p.retrying = false;
        end_unstarted(sink_, b, board_result::not_flashed, found.reason);
        return;
    }
    // Recorded when it leaves, or when the session ends, if it never passes.
    b.found.reason += tried_again;
    show_changed(sink_.disp);
    p.retry_at = std::chrono::steady_clock::now() + retry_after(*device, !p.retrying);
    p.retrying = true;
}

void station::arrived(const std::string &path)
{
    port &p = ports_[path];
    if (p.present)
        return; // already armed for this plug-in
    p.present = true;
    ++p.plug_ins;
    board &b = pool_.boards.emplace_back();
    b.found.usb_path = path;
    b.found.plug_in = p.plug_ins;
    b.log_name = path + "_" + std::to_string(p.plug_ins) + ".log";
    p.current = &b;
    p.retrying = false;
    show_port(sink_.disp, true, path, p.plug_ins);
    // The last plug-in's flasher is reaped before this one is looked at.
    if (p.flashing != nullptr && busy(*p.flashing))
        p.waiting = true;
    else
        judge(p);
}

void station::left(const std::string &path)
{
    const auto found = ports_.find(path);
    if (found == ports_.end() || !found->second.present)
        return;
    port &p = found->second;
    p.present = false;
    show_port(sink_.disp, false, path, p.plug_ins);
    board &b = *p.current;
    if (b.asking) {
        checks_.left(b);
    } else if (p.flashing == &b) {
        pool_.unplugged(b);
    } else if (p.retrying || p.waiting) {
        const std::string reason = p.waiting ? gone_before_judged : b.found.reason;
        p.retrying = p.waiting = false;
        end_unstarted(sink_, b, board_result::not_flashed, reason);
    }
}

// Ports whose last flasher was reaped with a plug-in waiting, and retries
// that are due.
void station::move_ports_on()
{
    const steady_time now = std::chrono::steady_clock::now();
    for (auto &[path, p] : ports_) {
        if (p.flashing != nullptr && !busy(*p.flashing))
            p.flashing = nullptr;
        const bool free_now = p.waiting && p.flashing == nullptr;
        if (free_now || (p.retrying && now >= p.retry_at))
            judge(p);
    }
}

void station::add_to(wait_set &set)
{
    if (pool_.stopping())
        return;
    usb_.add_to(set);
    for (const auto &[path, p] : ports_) {
        if (p.retrying)
            set.wake_by(p.retry_at);
    }
}

void station::take(const wait_set &)
{
    if (pool_.stopping() || stop_requested())
        return;
    for (const hotplug_event &e : usb_.take()) {
        if (e.usb_path.empty())
            continue; // cannot be pinned, so flasher could not be given it
        if (e.arrived)
            arrived(e.usb_path);
        else
            left(e.usb_path);
    }
    move_ports_on();
}

void station::close_session()
{
    for (auto &[path, p] : ports_) {
        if (p.current == nullptr || !(p.retrying || p.waiting))
            continue;
        const std::string reason = p.waiting ? ended_before_judged : p.current->found.reason;
        p.retrying = p.waiting = false;
        end_unstarted(sink_, *p.current, board_result::not_flashed, reason);
    }
}

std::vector<const board *> station::current_boards() const
{
    std::vector<const board *> boards;
    for (const auto &[path, p] : ports_)
        boards.push_back(p.current);
    return boards;
}

bool station::present(const board &b) const
{
    const auto found = ports_.find(b.found.usb_path);
    return found != ports_.end() && found->second.present && found->second.current == &b;
}

int watch(flasher_pool &pool, board_sink &sink, done_check &checks, int signal_fd)
{
    hotplug_listener usb;
    std::string error;
    if (!usb.start(error)) {
        std::fprintf(stderr, "flasher-gang: %s\n", error.c_str());
        return gang_failed;
    }
    warn_without_udev();
    station s(pool, sink, checks, usb);
    display &disp = sink.disp;
    disp.live_boards = [&s] { return s.current_boards(); };
    disp.unplugged = [&s](const board &b) { return !s.present(b); };
    disp.live_footer = [&pool, &sink] {
        std::vector<std::string> lines{tally_text(tally(pool.boards)) +
                                       "; Ctrl-C ends the session"};
        const std::vector<std::string> more = status_lines(sink);
        lines.insert(lines.end(), more.begin(), more.end());
        return lines;
    };
    show_changed(disp);
    signal_part signals(signal_fd, [&pool](int count) { pool.stop(count); });
    display_tick tick(disp, [&pool] { return pool.any_running(); });
    std::vector<loop_part *> parts{&signals, &checks, &pool, &s, &tick};
    if (sink.database != nullptr)
        parts.insert(parts.begin() + 1, sink.database);
    run_loop(parts, [&pool, &checks] {
        return (pool.stopping() || stop_requested()) && !pool.any_running() && !checks.pending();
    });
    s.close_session();
    return -1;
}
