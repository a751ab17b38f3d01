// What the program makes of one device, in words, alike for every build of
// the probe: the outcome its back-end's checks give, why, and what the user
// can do about it.
#pragma once

#include <string>

// How the search ends at a device, or passes it.
enum class outcome_kind {
    chosen,        // the program uses it
    write_fails,   // the program takes it, and its first write fails
    passed_over,   // the program goes on to the next device
    fails_attempt, // the whole attempt fails here
};

struct device_outcome {
    outcome_kind kind = outcome_kind::passed_over;
    std::string reason; // why, for every kind but chosen
    std::string advice; // what to do about it; empty when there is nothing to say
};
