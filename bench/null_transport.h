// What the null transport has seen since it was last asked.
#pragma once

struct null_transport_counts {
    unsigned long long writes = 0;
    unsigned long long bytes = 0;
    unsigned long long checksum = 0;
    unsigned long long pause_seconds = 0;
};

// Returns the counts so far and starts counting afresh.
null_transport_counts null_transport_take_counts();
