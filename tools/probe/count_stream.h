// A read-only stream over another that counts the bytes read through it and
// cannot seek, as a pipe cannot. The dry run hands it to the front end in
// place of a source whose size cannot be told, to learn how long it was.
#pragma once

#include <cstdio>

struct counted_source {
    std::FILE *from = nullptr;
    long long count = 0; // bytes read through the stream so far
};

// A stream reading from source.from; null when none can be made. Closing it
// leaves source.from open.
std::FILE *open_counting_stream(counted_source &source);

// Reads on to the end of `stream`, at most `limit` more bytes. False when it
// stopped at the limit with bytes left.
bool drain(std::FILE *stream, long long limit);
