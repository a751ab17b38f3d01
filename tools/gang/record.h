// The record: one JSON object per device per run, a line each (JSON Lines).
// The fields are documented in flasher-gang(1); "schema" changes whenever a
// field changes meaning or goes.
#pragma once

#include "tools/gang/run_dir.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

constexpr int record_schema = 2;

// The earlier ok record that makes a board done already (--skip-done).
struct done_record {
    std::string run, end, usb_path, station;
};

// What each message of a board's flasher came to, from its events.
struct message_tally {
    unsigned messages = 0;        // taken whole, all kinds
    std::optional<bool> erase;    // nullopt: never handed over
    std::vector<bool> zero_bytes; // one per zero byte sent
    unsigned pages = 0;           // taken whole
    std::optional<bool> trailer;  // nullopt: not sent
    std::optional<bool> params;   // nullopt: no parameter upload
};

// Every field of a board's line that is not run-wide.
struct board_line {
    std::string usb_path;
    unsigned plug_in = 0; // 0: batch mode (null in the line)
    std::string serial;   // raw bytes; empty: null
    wall_time start{}, end{};
    double seconds = -1;                // < 0: null
    std::optional<message_tally> taken; // nullopt: no flasher ran
    std::string result;              // "ok" | "failed" | "interrupted" | "not flashed" | "skipped"
    std::string reason;              // empty: null
    std::optional<done_record> done; // skipped: the line that says it is done
    std::string done_lookup;         // empty: null
    int exit_status = -1;            // < 0: null
    int signal = 0;                  // 0: null
    std::optional<std::string> last_line; // nullopt: null
};

// What every record of a run shares.
struct run_facts {
    std::string run_id;
    std::string host;
    std::string mode; // "firmware", "parameters" or "erase"
    bool erase_all = false;
    std::string image; // as given on the command line; empty for erase
    long long image_size = -1;
    std::string image_sha256;
    unsigned plan_pages = 0;   // the pages flasher sends
    bool plan_trailer = false; // and whether the trailer goes out
    std::string flasher;       // the absolute path of the flasher run
    unsigned vid = 0, pid = 0; // the IDs it was built for
};

nlohmann::ordered_json record_line(const run_facts &run, const board_line &b);

// One line of JSON: invalid UTF-8 (in a serial, say) is replaced, never a
// reason to lose the record.
std::string json_line(const nlohmann::ordered_json &object);

// Appends `line` to the file open with O_APPEND in one write, then fsyncs:
// records of gangs sharing a file never interleave, and a line on disk is
// whole. False when the write or the sync failed.
bool append_record(int fd, const std::string &line);

// Opens `path` for appending records (created 0644 when missing); -1 on failure.
int open_record(const std::string &path);
