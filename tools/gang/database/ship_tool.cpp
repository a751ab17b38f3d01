// record-ship: the shipper's poll loop on a record file, for the tests and
// scripts/bench.sh (not installed). It starts as flasher-gang will, ships,
// and takes commands on standard input, one a line:
//   appended                       lines were appended to the record
//   lookup SERIAL_HEX SHA MODE MS  a done look-up with a deadline of MS
//   finish MS                      ship for at most MS, then exit
// It prints "start VERDICT MESSAGE", "waiting N" as the count changes,
// "state STATE" as it changes, each look-up's "answer ID VERDICT ...", with
// --ticks a "tick N" every 100 ms, and at the end "left N". It ends with its
// input, or with --exit-when-shipped once nothing waits.
// Usage: record-ship [--lookups] [--ticks] [--exit-when-shipped]
//                    [--batch-lines N] [--wait-start MS] CONNINFO RECORD
#include "tools/gang/database/record_db.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <unistd.h>

using namespace recorddb;

namespace
{

struct tool_options {
    db_settings settings;
    bool ticks = false, exit_when_shipped = false;
    milliseconds wait_start{3000};
};

bool parse(int argc, char **argv, tool_options &o)
{
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        const std::string a = argv[i];
        if (a == "--lookups")
            o.settings.lookups = true;
        else if (a == "--ticks")
            o.ticks = true;
        else if (a == "--exit-when-shipped")
            o.exit_when_shipped = true;
        else if (a == "--batch-lines" && i + 1 < argc)
            o.settings.ship.batch_lines = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--wait-start" && i + 1 < argc)
            o.wait_start = milliseconds(std::strtol(argv[++i], nullptr, 10));
        else
            return false;
    }
    if (argc - i != 2)
        return false;
    o.settings.ship.conninfo = argv[i];
    o.settings.ship.record = argv[i + 1];
    return true;
}

std::string unhex(const std::string &hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    return bytes;
}

const char *verdict_name(lookup_verdict v)
{
    return v == lookup_verdict::skip    ? "skip"
           : v == lookup_verdict::flash ? "flash"
                                        : "not-looked-up";
}

const char *state_name(db_state s)
{
    constexpr const char *names[] = {"connecting", "ready", "away", "refused"};
    return names[static_cast<int>(s)];
}

// One command from standard input; false when the tool is to end.
bool command(record_db &db, const std::string &line)
{
    std::istringstream in(line);
    std::string word, serial, sha, mode;
    long ms = 0;
    in >> word;
    const steady_time now = std::chrono::steady_clock::now();
    if (word == "appended") {
        db.appended(now);
    } else if (word == "lookup" && in >> serial >> sha >> mode >> ms) {
        const unsigned id = db.look_up({unhex(serial), sha, mode}, now + milliseconds(ms));
        std::printf("asked %u\n", id);
    } else if (word == "finish" && in >> ms) {
        db.finish(milliseconds(ms));
        return false;
    }
    return true;
}

void print_answers(record_db &db)
{
    for (const lookup_answer &a : db.take_answers()) {
        const latest_line l = a.latest.value_or(latest_line{});
        std::printf("answer %u %s station=%s run=%s usb_path=%s end=%s result=%s detail=%s\n", a.id,
                    verdict_name(a.verdict), l.station.c_str(), l.run.c_str(), l.usb_path.c_str(),
                    l.end.c_str(), l.result.c_str(), a.detail.c_str());
    }
}

} // namespace

int main(int argc, char **argv)
{
    tool_options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: record-ship [--lookups] [--ticks] [--exit-when-shipped] "
                             "[--batch-lines N] [--wait-start MS] CONNINFO RECORD\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    record_db db(o.settings);
    const start_outcome started = db.start(o.wait_start);
    constexpr const char *verdicts[] = {"ready", "away", "refused"};
    std::printf("start %s %s\n", verdicts[static_cast<int>(started.verdict)],
                started.message.c_str());
    if (started.verdict == start_verdict::refused)
        return 1;
    std::size_t waiting = static_cast<std::size_t>(-1), ticks = 0;
    db_state state = db.state();
    std::string input;
    bool input_open = true;
    for (bool going = true; going;) {
        if (db.waiting() != waiting)
            std::printf("waiting %zu\n", waiting = db.waiting());
        if (db.state() != state)
            std::printf("state %s %s\n", state_name(state = db.state()), db.why().c_str());
        if (o.exit_when_shipped && waiting == 0)
            break;
        std::vector<pollfd> fds{{input_open ? STDIN_FILENO : -1, POLLIN, 0}};
        db.add_fds(fds);
        const steady_time now = std::chrono::steady_clock::now();
        const int timeout = db.timeout_ms(now);
        if (poll(fds.data(), fds.size(),
                 o.ticks && (timeout < 0 || timeout > 100) ? 100 : timeout) < 0)
            continue;
        db.take(fds.size() > 1 ? &fds[1] : nullptr, std::chrono::steady_clock::now());
        print_answers(db);
        if (o.ticks)
            std::printf("tick %zu\n", ++ticks);
        char buffer[4096];
        const ssize_t n = (fds[0].revents != 0) ? read(STDIN_FILENO, buffer, sizeof buffer) : -1;
        if (n == 0 && !o.exit_when_shipped)
            break; // the end of the commands; with --exit-when-shipped, the lines decide
        input_open = input_open && n != 0;
        if (n > 0)
            input.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t eol; going && (eol = input.find('\n')) != std::string::npos;) {
            going = command(db, input.substr(0, eol));
            input.erase(0, eol + 1);
            print_answers(db);
        }
    }
    std::printf("left %zu passed-over %zu\n", db.waiting(), db.ship().passed_over());
    return 0;
}
