// Texts that reach a terminal or a fixed-width column: what a device or
// flasher said (a serial, a last line) may hold any byte, and must neither
// move the cursor nor break a table.
#pragma once

#include <cstddef>
#include <string>

// Every byte outside printable ASCII as \xNN, and a backslash as \\: a
// serial that holds a newline or an escape sequence prints as one line of
// plain characters, and no two texts print alike.
std::string escaped(const std::string &text);

// Without the trailing spaces flasher pads its page numbers with.
std::string trimmed(const std::string &text);

// `text` in a column `width` wide, left-aligned: padded with spaces, or cut
// with "..." at its end when longer.
std::string cell(const std::string &text, std::size_t width);

// The column width for texts up to `longest` long: at least `least`, at
// most `most`.
std::size_t column_width(std::size_t longest, std::size_t least, std::size_t most);
