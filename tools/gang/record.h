// The record: one JSON object per board per plug-in (per run in batch mode),
// a line each (JSON Lines). The fields are documented in flasher-gang(1);
// "schema" changes whenever a field changes meaning or goes. record_line()
// is the one place a line is made: the supervisor hands it values.
#pragma once

#include "tools/gang/run_dir.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr int record_schema = 2;

// The earlier ok line that makes a board done already (--skip-done).
struct done_record {
    std::string run, end, usb_path, station;
};

// What the device took, message by message, as flasher's events tell it.
struct message_tally {
    unsigned messages = 0;        // taken whole, all kinds
    std::optional<bool> erase;    // nullopt: never handed over
    std::vector<bool> zero_bytes; // one per zero byte sent
    unsigned pages = 0;           // taken whole
    std::optional<bool> trailer;  // nullopt: not sent
    std::optional<bool> params;   // parameters mode: announcement and block whole
};

// Every field of a line that is not run-wide.
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
    std::string done_lookup;         // empty: null (no --skip-done)
    int exit_status = -1;            // < 0: null
    int signal = 0;                  // 0: null
    std::optional<std::string> last_line; // nullopt: null
};

// What every line of a run shares.
struct run_facts {
    std::string run_id;
    std::string station; // --station NAME, else the host name
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

// The schema-2 line of one board, fields in their documented order.
nlohmann::ordered_json record_line(const run_facts &run, const board_line &b);

// A line of flasher's output as the record keeps it: trailing spaces gone,
// control characters written as \xNN (and a backslash as \\), so that the
// text shows as one line wherever it is printed.
std::string printable_line(std::string_view text);

// One line of JSON, ending in "\n": invalid UTF-8 (in a serial, say) is
// replaced, never a reason to lose the record.
std::string json_line(const nlohmann::ordered_json &object);
