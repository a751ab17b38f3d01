// Texts in fixed-width columns: a serial too long for its column must not
// push the rest of a table's line out of place. (What a device or flasher
// said is made printable by the record's printable_line first.)
#pragma once

#include <cstddef>
#include <string>

// `text` in a column `width` wide, left-aligned: padded with spaces, or cut
// with "..." at its end when longer.
std::string cell(const std::string &text, std::size_t width);

// The column width for texts up to `longest` long: at least `least`, at
// most `most`.
std::size_t column_width(std::size_t longest, std::size_t least, std::size_t most);
