#include "tools/probe/words.h"

#include <cstdio>

std::string shell_word(const std::string &word)
{
    const char *plain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./:=@%+,-";
    if (!word.empty() && word.find_first_not_of(plain) == std::string::npos)
        return word;
    std::string quoted = "'";
    for (const char c : word) {
        if (c == '\'')
            quoted.append("'\\''");
        else
            quoted.push_back(c);
    }
    quoted.push_back('\'');
    return quoted;
}

std::string shell_command(const std::string &program, const std::vector<std::string> &args)
{
    std::string command = shell_word(program);
    // Appended piece by piece: GCC 12 warns (-Wrestrict) about a concatenation
    // of temporaries here that it cannot see through.
    for (const std::string &arg : args) {
        command.push_back(' ');
        command.append(shell_word(arg));
    }
    return command;
}

std::string hex_bytes(const unsigned char *bytes, std::size_t count)
{
    std::string text;
    char piece[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += piece;
    }
    return text;
}
