#include "tools/gang/text.h"

#include <algorithm>
#include <cstdio>

std::string escaped(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            out.push_back(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        }
    }
    return out;
}

std::string trimmed(const std::string &text)
{
    const std::size_t end = text.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string cell(const std::string &text, std::size_t width)
{
    constexpr char cut[] = "...";
    constexpr std::size_t cut_size = sizeof cut - 1;
    if (text.size() <= width)
        return text + std::string(width - text.size(), ' ');
    if (width <= cut_size)
        return text.substr(0, width);
    return text.substr(0, width - cut_size) + cut;
}

std::size_t column_width(std::size_t longest, std::size_t least, std::size_t most)
{
    return std::max(least, std::min(longest, most));
}
