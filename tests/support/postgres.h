// A throwaway PostgreSQL server for a test fixture: initdb in a scratch
// directory, started on a Unix socket in that directory (no TCP port, so
// servers of tests run side by side never meet), as an unprivileged user
// (the server refuses root, and CI runs as root: then as "nobody"), stopped
// and removed with the fixture. A machine without the server programs
// (Debian: postgresql) skips the test, saying why, unless
// FLASHER_REQUIRE_POSTGRES=1 (the test command, which installs the server,
// sets it): then the test fails.
#pragma once

#include "support.h"

#include <optional>
#include <string>
#include <vector>

namespace support
{

// One row of a query's answer; nullopt is SQL null.
using pg_row = std::vector<std::optional<std::string>>;

struct pg_answer {
    std::vector<pg_row> rows;
    std::string sqlstate; // empty when the statement succeeded
    std::string error;
};

class postgres_server
{
  public:
    postgres_server() = default;
    ~postgres_server();
    postgres_server(const postgres_server &) = delete;
    postgres_server &operator=(const postgres_server &) = delete;

    // Where the server programs are, or empty with the reason in `why`.
    static std::string programs(std::string &why);
    // Their absence fails a test instead of skipping it.
    static bool required();

    // Makes the cluster and starts it. False with the reason when it could
    // not be done (the test fails then; a missing program is a skip, found
    // with programs() first).
    bool create(std::string &why);

    void stop_immediate(); // pg_ctl stop -m immediate: a crash, as far as clients see
    bool start();          // again after a stop; waits until it takes connections
    void pause();          // SIGSTOP to the server and every backend: nothing answers
    void resume();         // SIGCONT

    const std::string &socket_dir() const
    {
        return dir_.path();
    }
    // A connection string for `database` as `user` (the superuser "postgres"
    // by default), over the socket.
    std::string conninfo(const std::string &database = "postgres",
                         const std::string &user = "postgres") const;

    // A fresh database; its name.
    std::string new_database();

    // Appends a line to pg_hba.conf's top (first match wins) and reloads.
    bool allow_first(const std::string &hba_line);

  private:
    int run_as_owner(const std::vector<std::string> &argv);
    pid_t postmaster() const;

    scratch_dir dir_;
    std::string bin_;
    unsigned databases_ = 0;
    bool running_ = false;
};

// Runs `sql` with `params` ($1, $2...) over a plain blocking connection.
pg_answer pg_query(const std::string &conninfo, const std::string &sql,
                   const std::vector<std::optional<std::string>> &params = {});

// Runs a script file as psql would (several statements), as one query.
pg_answer pg_script(const std::string &conninfo, const std::string &path);

} // namespace support
