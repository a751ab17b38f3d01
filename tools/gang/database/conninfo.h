// --record-db's connection string: libpq's key=value words or a
// postgresql:// URI, service=NAME included (libpq reads the service file).
// It is checked before anything connects.
#pragma once

#include <string>

namespace recorddb
{

// Empty when the connection string can be used; else why not: libpq's own
// reason for one that does not parse, or a password written in it, which
// every user of the machine could read in the process list. (A password
// belongs in the password file, the service file or the environment, where
// libpq finds it.)
std::string conninfo_refusal(const std::string &conninfo);

} // namespace recorddb
