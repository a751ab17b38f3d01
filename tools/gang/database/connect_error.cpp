#include "tools/gang/database/connect_error.h"

#include <cctype>
#include <cstring>

namespace recorddb
{

namespace
{

// Server error codes (or their two-character classes) that refuse a
// station for good; any other failure, with a code or without (no route,
// no socket, the server starting up or full), is the database away.
constexpr const char *refusing[] = {
    "28",    // invalid authorization: a wrong password, no such role, pg_hba.conf says no
    "3D000", // no such database
    "42501", // no right to connect to that database
    "FG001", // the record's schema is newer than this program knows (schema.sql)
};

bool code_char(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0 || (c >= 'A' && c <= 'Z');
}

// The first "SEVERITY:  XXXXX: " token's code, or empty.
std::string sqlstate_in(const std::string &text)
{
    for (std::size_t at = text.find(":  "); at != std::string::npos;
         at = text.find(":  ", at + 1)) {
        const std::size_t code = at + 3;
        if (code + 6 > text.size() || text.compare(code + 5, 2, ": ") != 0)
            continue;
        bool all = true;
        for (std::size_t i = 0; i < 5; ++i)
            all = all && code_char(text[code + i]);
        if (all)
            return text.substr(code, 5);
    }
    return {};
}

} // namespace

bool refusing_sqlstate(const std::string &sqlstate)
{
    for (const char *code : refusing) {
        if (!sqlstate.empty() && sqlstate.compare(0, std::strlen(code), code) == 0)
            return true;
    }
    return false;
}

std::string readable(const std::string &verbose_message)
{
    std::string out;
    std::size_t from = 0;
    while (from < verbose_message.size()) {
        std::size_t end = verbose_message.find('\n', from);
        if (end == std::string::npos)
            end = verbose_message.size();
        std::string line = verbose_message.substr(from, end - from);
        from = end + 1;
        if (line.rfind("LOCATION:", 0) == 0)
            continue;
        const std::string code = sqlstate_in(line);
        if (!code.empty())
            line.erase(line.find(":  " + code + ": ") + 3, code.size() + 2);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front())) != 0)
            line.erase(0, 1);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0)
            line.pop_back();
        if (!line.empty())
            out += (out.empty() ? "" : " ") + line;
    }
    return out;
}

failure connect_failure(const std::string &verbose_message, bool needed_password)
{
    failure f;
    f.sqlstate = sqlstate_in(verbose_message);
    f.message = readable(verbose_message);
    f.refused = needed_password || refusing_sqlstate(f.sqlstate);
    return f;
}

} // namespace recorddb
