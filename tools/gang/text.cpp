#include "tools/gang/text.h"

#include <algorithm>

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
