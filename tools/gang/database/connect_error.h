// What a failed connection or query comes to: the database is away (it
// could not be reached, or cannot take connections for now), or it answered
// and refused (authentication, no such database or role, no right to
// connect), which waiting will not mend.
#pragma once

#include <string>

namespace recorddb
{

struct failure {
    bool refused = false;
    std::string sqlstate; // the server's error code, when it sent one
    std::string message;  // one line, for a person
};

// A connection that failed, from libpq's error message (taken with
// PQERRORS_VERBOSE, which puts the server's SQLSTATE in it) and whether the
// server asked for a password that libpq did not have.
failure connect_failure(const std::string &verbose_message, bool needed_password);

// True for a server error code that means "refused": waiting will not mend it.
bool refusing_sqlstate(const std::string &sqlstate);

// libpq's text in one line: no SQLSTATE token, no LOCATION line.
std::string readable(const std::string &verbose_message);

} // namespace recorddb
