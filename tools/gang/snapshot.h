// The input read once: copied into the run's directory and hashed before any
// device is touched. Every flasher of the run is handed the copy, so every
// board gets the same bytes, a pipe or a FIFO included, and the recorded
// hash is that of the bytes sent.
#pragma once

#include <string>

struct snapshot {
    std::string path;   // the copy, read-only
    long long size = 0; // its bytes
    std::string sha256; // of its bytes, lower-case hex
};

// No image is anywhere near this; a source that goes on (a device node,
// say) is refused rather than copied for ever.
constexpr long long snapshot_limit = 64LL << 20;

// Copies `input` ("-": standard input, unless it is a terminal) to `path`,
// which must not exist. False with a message in `error` when the input
// cannot be read or is over the limit, when the snapshot cannot be written
// (the message names it), or when `stopped()` says to give up while a wait
// for the input was interrupted by a signal; nothing is left behind then.
bool take_snapshot(const std::string &input, const std::string &path, snapshot &snap,
                   std::string &error, bool (*stopped)());

// The input as messages name it: "standard input" for "-".
std::string input_name(const std::string &input);

// Why the snapshot is refused for --sha256 `expected` (lower-case hex), or
// empty when it matches or none was given.
std::string sha256_refusal(const snapshot &snap, const std::string &input,
                           const std::string &expected);
