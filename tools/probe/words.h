// Small texts the reports are made of: shell words, hex bytes, device IDs.
// Platform-neutral: every build of the probe, and flasher-gang, use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Quotes an argument for a POSIX shell when it needs it.
std::string shell_word(const std::string &word);

// `program` and then each argument as a shell word, space-separated.
std::string shell_command(const std::string &program, const std::vector<std::string> &args);

// Quotes an argument for the Windows command prompt (and PowerShell) when
// it needs it: in double quotes, which keep "&" and spaces in the word.
std::string cmd_word(const std::string &word);

// `program` and then each argument as a command prompt word.
std::string cmd_command(const std::string &program, const std::vector<std::string> &args);

// "E1 00 0A ...": each byte as two upper-case hex digits.
std::string hex_bytes(const unsigned char *bytes, std::size_t count);

// "1209:000A": a vendor and product ID, as the reports write them.
std::string ids_text(std::uint16_t vid, std::uint16_t pid);
