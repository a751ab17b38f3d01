// The boards a record already calls done: for --skip-done, every ok line
// of the record file, by serial and image hash. A line that does not parse
// (cut short by a crash, say) is passed over, never taken for done.
#pragma once

#include "tools/gang/record.h"

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

struct done_index {
    // (serial, image SHA-256) -> the latest ok record for it
    std::map<std::pair<std::string, std::string>, done_record> done;
    unsigned unreadable_lines = 0;
};

// Reads `path` (missing: nothing is done yet). False when it exists and
// cannot be read.
bool load_done_index(const std::string &path, done_index &index, std::string &error);

// Takes one record object: an ok line with a serial and an image joins.
void note_record(done_index &index, const nlohmann::ordered_json &record);

// The record that says this board is done, or null.
const done_record *find_done(const done_index &index, const std::string &serial,
                             const std::string &sha256);

// Whether a board is skipped as done, and what its line says of the lookup.
struct skip_answer {
    bool skip = false;
    done_record done;
    std::string lookup; // the line's done_lookup
    std::string why;    // for the display, when it does not skip for a reason worth saying
};
skip_answer decide_skip(done_index &index, const std::string &serial, const std::string &sha256,
                        const std::string &mode, bool serial_shared);
// Takes the lines other gangs appended to the record since the last read.
void follow_record(done_index &index);
// Takes a line of this run's own.
void note_line(done_index &index, const nlohmann::ordered_json &line);
