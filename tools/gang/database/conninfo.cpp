#include "tools/gang/database/conninfo.h"

#include <cstring>
#include <libpq-fe.h>
#include <memory>

namespace recorddb
{

namespace
{

struct free_options {
    void operator()(PQconninfoOption *options) const
    {
        PQconninfoFree(options);
    }
};

// libpq's messages end in a newline; ours are one line.
std::string one_line(const char *message)
{
    std::string text = message != nullptr ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace

std::string conninfo_refusal(const std::string &conninfo)
{
    char *error = nullptr;
    const std::unique_ptr<PQconninfoOption, free_options> options(
        PQconninfoParse(conninfo.c_str(), &error));
    if (!options) {
        const std::string why = error != nullptr ? one_line(error) : "out of memory";
        PQfreemem(error);
        return "the database connection string does not parse: " + why;
    }
    for (const PQconninfoOption *o = options.get(); o->keyword != nullptr; ++o) {
        if (std::strcmp(o->keyword, "password") == 0 && o->val != nullptr)
            return "the database connection string holds a password, which every user can read "
                   "in the process list: put it in the password file (~/.pgpass or PGPASSFILE) "
                   "or the service file instead";
    }
    return {};
}

} // namespace recorddb
