// --skip-done: whether the record calls a board done, on current facts only.
// For each serial the latest line decides (the latest "end"; on a tie, the
// line read later): a board is done when that line is ok for the same mode
// and image SHA-256. A later failure, erase or other image cancels it. Lines
// of boards no flasher ran for ("not flashed", "skipped") tell nothing new
// of a board and are passed over. The record is followed as it grows: other
// gangs may append to it while this one runs. A line that cannot be read is
// counted, named once by its line number and ignored; but when it names a
// serial, that serial is not skipped until a line after it decides again.
#pragma once

#include "tools/gang/record.h"
#include "tools/gang/record_read.h"

#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// What the record says of one serial.
struct board_facts {
    bool decided = false;       // a line that decides was read
    unsigned long long seq = 0; // the order the deciding line was read in
    unsigned line = 0;          // its line number in the file; 0: this run's own
    bool database = false;      // the deciding line is the database's (--record-db)
    std::string end, result, mode, sha256;
    done_record done;
    unsigned long long unreadable_seq = 0; // the last unreadable line naming it
    unsigned unreadable_line = 0;
};

struct done_index {
    std::string path;                          // the record followed; empty: own lines only
    std::map<std::string, board_facts> boards; // by serial
    unsigned unreadable = 0;                   // lines that could not be read
    std::vector<std::string> notes;            // not yet shown: each unreadable line, once
    std::string read_error;                    // the record cannot be read now: why

    // Where reading stopped: whole lines up to `offset` were taken.
    long long offset = 0;
    unsigned lines = 0;
    std::string partial; // a last line its writer has not ended (yet)
    dev_t dev = 0;
    ino_t ino = 0;
    unsigned long long seq = 0;
};

// Starts following `path` and reads what it holds (missing: nothing is done
// yet). False when it exists and cannot be read.
bool open_done_index(done_index &index, const std::string &path, std::string &error);

// Takes the lines appended since the last read. A record replaced or cut
// shorter (rotated, say) is read again from its start.
void follow_record(done_index &index);

// Takes one of this run's own lines (it may not have reached the file).
void note_line(done_index &index, const nlohmann::ordered_json &line);

// The notes gathered since the last call, each naming a line once.
std::vector<std::string> take_notes(done_index &index);

struct skip_answer {
    bool skip = false;
    done_record done;   // skip: the line that says it is done
    std::string lookup; // the record's done_lookup: "record", "not looked up: ..."
    std::string why;    // for the display: why it is skipped, or why it is not
                        // when that is worth saying (empty: never recorded here)
};

// `serial_shared`: two boards attached, or two ports of one session, have
// this serial (the caller knows); a shared or empty serial never skips.
skip_answer decide_skip(done_index &index, const std::string &serial, const std::string &sha256,
                        const std::string &mode, bool serial_shared);

// --record-db: the same decision, with the database's latest line of the
// serial among those a flasher ran for, at any station (nullopt: there is
// none). Of it and the record's, the later "end" decides; on a tie the
// record's, which may hold lines the database has not had yet. The caller
// asks only for a serial that is neither empty nor shared. lookup:
// "database".
skip_answer decide_skip_with_database(done_index &index, const std::string &serial,
                                      const std::string &sha256, const std::string &mode,
                                      const std::optional<line_facts> &database_latest);
