// flasher-gang's command line and exit statuses.
#pragma once

#include <string>
#include <vector>

// Exit statuses of flasher-gang.
constexpr int gang_all_ok = 0;        // every board was flashed successfully
constexpr int gang_failed = 1;        // a board failed or was not flashed, or nothing could start
constexpr int gang_usage = 2;         // bad usage
constexpr int gang_interrupted = 130; // INT, TERM or HUP

struct gang_options {
    std::string logs = "flasher-gang-logs"; // runs go in subdirectories of it
    std::string record;                     // --record FILE; empty: none
    std::string record_db;                  // --record-db CONNINFO; empty: none
    std::string station;                    // --station NAME; empty: the host name
    std::string sha256;                     // --sha256 HEX, lower case; empty: none
    bool json = false;                      // JSON Lines on stdout instead of the table
    bool quiet = false;                     // no progress
    bool skip_unusable = false;             // unusable boards do not fail the run
    bool watch = false;                     // flash each board as it is plugged in, until stopped
    bool skip_done = false;                 // boards the record calls done are not flashed again
    std::string input;                      // the image, the parameter file, "-" or "erase"
    bool erase_all = false;
};

// What the command line comes to: -1 when the run goes on, else the exit
// status, with the text to print (the usage on stdout after --help; the
// reason and the usage on stderr after a bad command line).
struct parsed_command {
    int status = -1;
    std::string text;
};
parsed_command parse_gang_command(const std::vector<std::string> &args, gang_options &opt);

// Parses argv onto opt and prints what there is to print. Returns -1 when
// the run goes on, else the exit status.
int parse_gang_options(int argc, char **argv, gang_options &opt);
