// libpq starts a connection (PQconnectStartParams) by looking up the first
// host's name, and that look-up waits on the name server: seconds when the
// network is cut. So the start runs on a helper thread of its own; the
// rest of the connection (PQconnectPoll) goes on in the caller's poll loop.
#pragma once

#include <libpq-fe.h>
#include <memory>
#include <string>

namespace recorddb
{

class connect_start
{
  public:
    // Starts the thread, which asks libpq with these keywords and values
    // (expand_dbname on). No signal is delivered to it.
    connect_start(const char *const *keys, const char *const *values);
    // A start not taken is abandoned: the thread closes what it made.
    ~connect_start();
    connect_start(const connect_start &) = delete;
    connect_start &operator=(const connect_start &) = delete;

    bool done() const;
    // Once done: the connection under way (null when libpq had no memory),
    // now the caller's.
    PGconn *take();

  private:
    struct job;
    std::shared_ptr<job> job_;
};

} // namespace recorddb
