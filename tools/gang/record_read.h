// Reading a record line back (for --skip-done): what it says of a board, with
// every field that is read checked for its type and its words. A line from
// another writer, an older or newer gang, or a cut one never crashes the
// reader: it is told apart and said why.
#pragma once

#include "tools/gang/record.h"

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <string_view>

// The fields a decision reads.
struct line_facts {
    std::string serial; // empty: null
    std::string end, result, mode;
    std::string sha256; // empty: no image (erase)
    done_record done;   // this line, as a skipped line would name it
};

// Schema 1 (before "station") and schema 2 lines are read; a later schema
// is not.
constexpr int oldest_schema_read = 1;

// Takes one line of text (without its newline). False when it is no record
// line this gang can read, with `why`; `named_serial` then holds the
// serial it names, when it names one as a string, so that it is not skipped
// on the strength of an older line.
bool read_record_line(std::string_view text, line_facts &facts, std::string &why,
                      std::string &named_serial);

// The same for a parsed object (nlohmann::json or ordered_json).
template <typename Json>
bool read_record_object(const Json &r, line_facts &facts, std::string &why);
