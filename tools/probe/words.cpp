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

namespace
{

std::string join_words(const std::string &program, const std::vector<std::string> &args,
                       std::string (*quote)(const std::string &))
{
    std::string command = quote(program);
    // Appended piece by piece: GCC 12 warns (-Wrestrict) about a concatenation
    // of temporaries here that it cannot see through.
    for (const std::string &arg : args) {
        command.push_back(' ');
        command.append(quote(arg));
    }
    return command;
}

} // namespace

std::string shell_command(const std::string &program, const std::vector<std::string> &args)
{
    return join_words(program, args, shell_word);
}

std::string cmd_word(const std::string &word)
{
    const char *special = " \t&|<>^(),;=";
    if (!word.empty() && word.find_first_of(special) == std::string::npos)
        return word;
    std::string quoted(1, '"');
    quoted.append(word);
    quoted.push_back('"');
    return quoted;
}

std::string cmd_command(const std::string &program, const std::vector<std::string> &args)
{
    return join_words(program, args, cmd_word);
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

std::string ids_text(std::uint16_t vid, std::uint16_t pid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X:%04X", static_cast<unsigned>(vid),
                  static_cast<unsigned>(pid));
    return text;
}
