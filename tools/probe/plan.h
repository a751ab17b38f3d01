// What of the input flasher would send, read off the messages of a dry run.
#pragma once

#include "tools/probe/dry_run.h"
#include "usb/dryrun/sent_messages.h"

#include <vector>

// Why bytes of a firmware file stay behind.
enum class leftover {
    none,
    beyond_page_limit, // after the 240th page (a trailer there included)
    odd_tail,          // a tail after the last whole page that is not 16 bytes
};

struct input_plan {
    run_mode mode = run_mode::erase_only;
    unsigned char erase_code = 0; // the erase message's code
    image_header header{};        // the header in the erase message
    unsigned pages = 0;           // whole pages sent
    bool trailer = false;         // the trailer message sent
    bool params_sent = false;     // the parameter block sent
    long long total = -1;         // bytes the input held; -1 when unknown
    bool total_at_least = false;  // ... or at least that many
    long long sent = 0;           // bytes of the file that go out, from its start
    long long unsent = 0;         // the bytes after them that do not
    leftover why = leftover::none;
};

input_plan plan_input(const dry_run &run, const std::vector<dryrun::message> &sent);

// A firmware run that sends no page and no trailer only erases the device.
bool only_erases(const input_plan &plan);
