// record-ship run as a child process: its standard input to write commands
// to, its standard output read line by line with a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

class ship_driver
{
  public:
    // Starts record-ship with these arguments.
    explicit ship_driver(const std::vector<std::string> &args);
    ~ship_driver();
    ship_driver(const ship_driver &) = delete;
    ship_driver &operator=(const ship_driver &) = delete;

    void send(const std::string &command);

    // Reads lines until one satisfies `wanted` (true) or the deadline
    // passes or the output ends (false). Every line read is kept in seen().
    bool await(const std::function<bool(const std::string &)> &wanted,
               std::chrono::seconds deadline = std::chrono::seconds(60));
    // Until a line that starts with `prefix`; that line, or empty.
    std::string await_prefix(const std::string &prefix,
                             std::chrono::seconds deadline = std::chrono::seconds(60));

    void kill_now(); // SIGKILL
    int wait();      // its exit status (128 + N after signal N)
    const std::string &seen() const
    {
        return seen_;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string partial_, seen_;
    bool ended_ = false;
};
