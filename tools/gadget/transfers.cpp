// The OUT endpoint's side of the gadget: one read per transfer, each
// transfer recorded in the current plug-in's account, and the faults.
#include "gadget.h"

#include "descriptors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace
{

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
    const auto &ev = g.rec().events;
    for (std::size_t i = ev.size(); i-- > 0;) {
        if (ev[i].is_pause)
            continue;
        const bool announce = ev[i].length == 1 && g.rec().data[ev[i].offset] == 0xE8;
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
    if (account::transfer_count(g.rec()) > 0 && !g.now.paused_since_last) {
        const double gap = seconds_of(now) - seconds_of(g.now.last_taken);
        if (gap >= 2.0)
            account::record_pause(g.rec(), static_cast<unsigned>(gap));
    }
    g.now.paused_since_last = false;
    g.now.last_taken = now;
    account::record_transfer(g.rec(), {g.buf, len}, len, account::outcome::completed);
}

// Applies the fault due after the transfers this plug-in took so far; true
// when the gadget may read on.
bool apply_faults(gadget &g)
{
    const std::size_t n = account::transfer_count(g.rec());
    if (n == g.opts.vanish_at && !g.vanished) {
        std::fprintf(stderr, "flasher-gadget: unplugging after %zu transfers\n", n);
        configfs_unbind(g.id.name);
        g.bound = false;
        g.vanished = true;
        return false;
    }
    if (n == g.opts.stall_at && !g.now.stalled) {
        // Writing to an OUT endpoint's file is FunctionFS's way to halt it.
        unsigned char dummy = 0;
        const ssize_t r = write(g.fn.ep_out, &dummy, 1);
        if (r >= 0 || errno != EBADMSG) {
            std::fprintf(stderr, "flasher-gadget: could not halt the OUT endpoint: %s\n",
                         r < 0 ? std::strerror(errno) : "write went through");
            return false;
        }
        std::fprintf(stderr, "flasher-gadget: halted the OUT endpoint after %zu transfers\n", n);
        g.now.stalled = true;
    }
    if (g.now.stalled)
        return false;
    if (n == g.opts.pause_at && !g.now.pause_done) {
        std::fprintf(stderr, "flasher-gadget: taking nothing for %u ms after %zu transfers\n",
                     g.opts.pause_ms, n);
        g.now.paused = true;
        g.now.pause_done = true;
        g.now.paused_since_last = true;
        g.now.pause_end = timespec_of(now_s() + g.opts.pause_ms / 1000.0);
        return false;
    }
    return !g.now.paused;
}

} // namespace

bool read_on(gadget &g)
{
    if (!g.enabled || g.reader.busy || !apply_faults(g))
        return true;
    return reader_submit(g.reader, g.fn.ep_out, g.buf, next_read_length(g));
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
    if (!g.now.paused)
        return -1;
    const double left = seconds_of(g.now.pause_end) - now_s();
    return left <= 0 ? 0 : static_cast<int>(left * 1000.0) + 1;
}

bool end_pause_when_due(gadget &g)
{
    if (!g.now.paused || seconds_of(g.now.pause_end) > now_s())
        return true;
    g.now.paused = false;
    return read_on(g);
}
