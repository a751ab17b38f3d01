// A recording fake of the transport and the pause, linked into the front-end
// tests in place of a real back-end.
#pragma once

#include "support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// One call the front end made, in the order it made them.
struct fake_event {
    enum class kind { open, write, pause } what;
    // open: the selectors, nullopt when absent.
    std::optional<std::string> serial;
    std::optional<std::string> usb_path;
    // write: the bytes and the time-out. pause: seconds in `seconds`.
    std::vector<unsigned char> bytes;
    unsigned int timeout_ms = 0;
    unsigned int seconds = 0;
};

struct fake_usb {
    std::vector<fake_event> events;
    // Results of successive open_usb calls; once used up, open_usb succeeds.
    std::vector<bool> open_results;
    // Result of the write with this index (counted from 0 across the run);
    // writes not listed return their full length.
    std::map<std::size_t, int> write_results;
    // Called inside each open_usb, with the attempt number, before it returns.
    std::function<void(int)> on_open;

    std::size_t opens = 0;
    std::size_t writes = 0;
};

extern fake_usb fake;

void reset_fake();
std::vector<fake_event> writes_of(const std::vector<fake_event> &events);
std::vector<unsigned int> pauses_of(const std::vector<fake_event> &events);

// A test of the front end over the fake: the fake cleared, no
// FLASHER_USBPATH from the environment, and a scratch directory.
class fake_test : public testing::Test
{
  protected:
    support::scratch_dir dir;

    void SetUp() override
    {
        reset_fake();
        unsetenv("FLASHER_USBPATH");
    }
    void TearDown() override
    {
        unsetenv("FLASHER_USBPATH");
    }
};
