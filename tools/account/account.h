// What a target device received, told as the device protocol's messages.
//
// A device side (the virtual device, the USB gadget) records each bulk OUT
// transfer in the order it arrived, and each pause of the host when it can
// see them. This library decodes the recording into the protocol's messages
// (parameter announcement and block, erase, zero bytes, pages, trailer),
// prints the account as text or JSON, and checks it against what an image or
// parameter file must put on the wire.
//
// The decoder is written from the wire format alone: it shares no code with
// the host's encoder, so it can judge it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>
#include <vector>

namespace account
{

// How one transfer ended, seen from the device.
enum class outcome {
    completed,   // every byte offered was taken
    stalled,     // the endpoint halted; nothing was taken
    timed_out,   // nothing was taken before the host gave up
    short_taken, // only the first `taken` bytes were accepted
    gone,        // the device was unplugged; nothing was taken
};

// One entry of a recording: a transfer, or a pause of the host.
struct event {
    bool is_pause;
    unsigned int seconds; // pause length
    std::size_t offset;   // where the transfer's bytes start in recording::data
    std::size_t length;   // bytes offered by the host
    std::size_t taken;    // bytes the device accepted
    outcome result;
};

struct recording {
    std::vector<unsigned char> data;
    std::vector<event> events;
    // Set when the host's pauses are recorded, so that a missing pause after
    // the erase can be told as a protocol break.
    bool pauses_observed = false;
};

// Appends a transfer. `offered` holds the transfer's bytes as far as the
// device sees them (a device that only sees what it took passes those bytes
// and taken == offered.size()). For stalled, timed-out and gone transfers
// `taken` is 0; for a completed one it is offered.size().
void record_transfer(recording &rec, std::span<const unsigned char> offered, std::size_t taken,
                     outcome result);

// Appends a pause of the host, in whole seconds.
void record_pause(recording &rec, unsigned int seconds);

// Number of transfers in the recording (pauses not counted).
std::size_t transfer_count(const recording &rec);

// True when the recording breaks no rule of the protocol (failures the host
// handled correctly are not breaks).
bool follows_protocol(const recording &rec);

// The account, one message (or run of whole pages) per line. Every line
// starts with `indent`.
void print_account(const recording &rec, std::FILE *out, const char *indent = "");

// The same account as one JSON object, without a trailing newline.
void print_account_json(const recording &rec, std::FILE *out);

enum class check_result {
    intact,     // the device received exactly what the file puts on the wire
    differs,    // it did not; the differences were printed
    unreadable, // the expected file could not be read
};

// Checks the recording against what the image file must put on the wire:
// the erase message (CMD_ERASE or CMD_ERASE_ALL) with the file's 11-byte
// header, two zero bytes, its whole pages up to the limit, and its trailer
// when the rules send it. A 256-byte file goes out as a parameter block, so
// it is checked as one. Prints "received what FILE puts on the wire: ...",
// followed by "not sent from FILE: ..." when the rules leave part of the
// file unsent (pages beyond the limit, a trailer after them, a tail that is
// no trailer), or the differences; each line starts with `indent`.
check_result check_image(const recording &rec, const char *path, std::FILE *out,
                         const char *indent = "");
check_result check_image_bytes(const recording &rec, std::span<const unsigned char> file,
                               const char *name, std::FILE *out, const char *indent = "");

// Checks the recording against a 256-byte parameter file: the announcement,
// then the block.
check_result check_params(const recording &rec, const char *path, std::FILE *out,
                          const char *indent = "");
check_result check_params_bytes(const recording &rec, std::span<const unsigned char> file,
                                const char *name, std::FILE *out, const char *indent = "");

// Name of an outcome as the account prints it ("completed", "stalled",
// "timed out", "short", "gone").
const char *outcome_name(outcome result);

} // namespace account
