// The running gadget's state, shared by its two halves: the transfers taken
// from the OUT endpoint with the faults (transfers.cpp), and ep0, the
// signals and plugging (main.cpp).
#pragma once

#include "configfs.h"
#include "ffs.h"
#include "options.h"
#include "tools/account/account.h"

#include <ctime>
#include <vector>

// What starts afresh with each plug-in: the faults strike once in each, as
// a faulty board fails each time it is plugged in.
struct plug_in_state {
    bool said_ready = false;
    bool stalled = false;
    bool paused = false;
    bool pause_done = false;
    bool paused_since_last = false; // a gap then is the gadget's own doing
    timespec pause_end{};
    timespec last_taken{};
};

struct gadget {
    gadget_options opts;
    gadget_identity id{};
    char udc[64] = {};
    ffs_function fn;
    ffs_reader reader;
    std::vector<account::recording> plug_ins = std::vector<account::recording>(1); // current last
    plug_in_state now;
    bool bound = false;
    bool enabled = false;
    bool high_speed = false;
    bool vanished = false;
    unsigned char buf[4096];

    account::recording &rec()
    {
        return plug_ins.back();
    }
    const account::recording &rec() const
    {
        return plug_ins.back();
    }
};

// Queues the next read of the OUT endpoint when the host has configured the
// device, no read is in flight and no fault holds it back. False when the
// read cannot be queued.
bool read_on(gadget &g);

// After the reader's eventfd polled readable: records the transfer that
// completed and reads on.
bool handle_completion(gadget &g);

// How long poll may wait: until the pause fault ends, or for ever.
int poll_timeout_ms(const gadget &g);

// Ends the pause fault once its time is up, and reads on.
bool end_pause_when_due(gadget &g);
