// A source whose size cannot be told (a pipe, say) is handed to the front end
// as a temporary copy of its first bytes, so that afterwards it can be told
// how long it was. Plain files only: every platform of the probe has them.
#pragma once

#include <cstdio>

struct spooled_source {
    std::FILE *from = nullptr; // the source; what is not copied is still to come
    std::FILE *copy = nullptr; // what the front end reads, from its start
    long long copied = 0;      // bytes in the copy
};

// Copies at most `limit` bytes of source.from into a new temporary file,
// rewound for reading. False when none can be made: source.from is then
// untouched.
bool spool(spooled_source &source, long long limit);

struct source_count {
    long long bytes = 0;   // bytes the source held from where the copy began
    bool at_least = false; // ... or more: counting stopped with bytes left
};

// Once the front end has read from the copy: what it read, then on through
// the rest of the copy and of the source, at most `limit` bytes past what it
// read (and one more, to tell that there is more). Closes the copy.
source_count count_source(spooled_source &source, long long limit);
