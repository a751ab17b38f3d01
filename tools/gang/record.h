// The record: one JSON object per device per run, a line each (JSON Lines).
// The fields are documented in flasher-gang(1); "schema" changes whenever a
// field changes meaning or goes.
#pragma once

#include "tools/gang/board.h"

#include <nlohmann/json.hpp>

#include <string>

constexpr int record_schema = 1;

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

nlohmann::ordered_json board_record(const run_facts &run, const board &b);

// One line of JSON: invalid UTF-8 (in a serial, say) is replaced, never a
// reason to lose the record.
std::string json_line(const nlohmann::ordered_json &object);

// Appends `line` to the file open with O_APPEND in one write, then fsyncs:
// records of gangs sharing a file never interleave, and a line on disk is
// whole. False when the write or the sync failed.
bool append_record(int fd, const std::string &line);

// Opens `path` for appending records (created 0644 when missing); -1 on failure.
int open_record(const std::string &path);
