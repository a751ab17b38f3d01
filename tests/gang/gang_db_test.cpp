// flasher-gang --record-db against a real PostgreSQL server (one per test,
// tests/support/postgres.h) and flasher-vdev's devices: what the table
// holds, read over plain libpq, against the gang's own record file; what each
// board received, by its account. The server is stopped, killed, paused and
// restarted under a running gang; a station that asks the database whether a
// board is done skips it only on the latest line at any station.
#include "gang_facts.h"
#include "postgres.h"
#include "support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace support;
using namespace gang_facts;

namespace
{

const std::string gang = FLASHER_GANG_BIN;

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

// Waits for `holds` (asked every 50 ms) for at most `seconds`.
bool wait_until(const std::function<bool()> &holds, int seconds = 120)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!holds()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Runs the gang in the background until the file "stop" or "kill" appears
// (or `until`, a bash condition, holds), then sends it TERM (KILL after
// "kill") and waits. Its standard output goes to gang.out, its exit status
// to status.txt, the flashers still running from this directory to
// left.txt.
std::vector<std::string> runner(const std::string &until = "false")
{
    return {"/bin/bash", "-c",
            std::string(flashers_here_function) +
                "\"$@\" >gang.out & gang=$!\n"
                "for ((i = 0; i < 2400; i++)); do\n"
                "  [ -e stop ] || [ -e kill ] || " +
                until +
                " && break; sleep 0.05; done\n"
                "sig=TERM; [ -e kill ] && sig=KILL\n"
                "kill -$sig $gang; wait $gang; status=$?; echo $status >status.txt\n"
                "flashers_here >left.txt\n"
                "exit $status",
            "runner"};
}

// The JSON lines of `text` with "event" equal to `kind`.
std::vector<json> events(const std::string &text, const std::string &kind)
{
    std::vector<json> found;
    std::size_t from = 0;
    for (std::size_t eol; (eol = text.find('\n', from)) != std::string::npos; from = eol + 1) {
        const json e = json::parse(text.substr(from, eol - from), nullptr, false);
        if (!e.is_discarded() && e.value("event", "") == kind)
            found.push_back(e);
    }
    return found;
}

class GangDatabase : public testing::Test
{
  protected:
    void SetUp() override
    {
        std::string why;
        if (postgres_server::programs(why).empty()) {
            if (postgres_server::required())
                FAIL() << why;
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(server.create(why)) << why;
        database = server.new_database();
    }

    std::string conninfo() const
    {
        return server.conninfo(database);
    }

    // The rows' `columns`, in the order they were stored; none while the
    // table is not there.
    std::vector<pg_row> rows(const std::string &columns) const
    {
        return pg_query(conninfo(), "SELECT " + columns + " FROM flasher.record_line ORDER BY id")
            .rows;
    }

    bool rows_reach(std::size_t count) const
    {
        return wait_until([&] { return rows("run").size() >= count; });
    }

    // The gang under flasher-vdev, with --record `record`, --record-db and
    // `args`; every plug-in that received anything is checked against the
    // image.
    vdev_result gang_run(const std::vector<std::string> &devices,
                         const std::vector<std::string> &args, const std::string &record,
                         std::vector<std::string> wrapper = {}) const
    {
        std::vector<std::string> command{"--logs", "logs",        "--record",
                                         record,   "--record-db", conninfo()};
        command.insert(command.end(), args.begin(), args.end());
        command.push_back("image.bin");
        return run_vdev(dir, {.options = {"--check-each"},
                              .command = command,
                              .devices = devices,
                              .expect_image = image,
                              .wrapper = std::move(wrapper),
                              .program = gang,
                              .json = true});
    }

    // Each line of the record reached the table once, in the record's
    // order, holding the line as it is in the record; its station too.
    void expect_table_holds(const std::string &record) const
    {
        const std::vector<json> local = record_lines(dir.file(record));
        const std::vector<pg_row> stored = rows("line::text, station");
        ASSERT_EQ(stored.size(), local.size());
        for (std::size_t i = 0; i < local.size(); ++i) {
            EXPECT_EQ(json::parse(stored[i][0].value_or("null")), local[i]) << "line " << i;
            EXPECT_EQ(stored[i][1], local[i]["station"].get<std::string>()) << "line " << i;
        }
    }

    postgres_server server;
    scratch_dir dir;
    std::string database;
    std::string image = dir.write("image.bin", pattern(11 + 3 * 2048 + 16));
};

// Every line of a run (ok, failed, not flashed; a serial with quotes and
// backslashes) reaches the table once with the local line's fields and
// --station; the end event says nothing waits.
TEST_F(GangDatabase, EveryLineReachesTheTableOnce)
{
    const vdev_result r = gang_run({"serial=Q'\"\\x", "serial=F,stall=40", "no-out"},
                                   {"--json", "--station", "line 7 'east'"}, "record.jsonl");
    const std::vector<json> lines = record_lines(dir.file("record.jsonl"));
    ASSERT_EQ(lines.size(), 3u) << r.err;
    for (const json &line : lines)
        EXPECT_EQ(line["station"], "line 7 'east'");
    expect_table_holds("record.jsonl");
    const std::vector<json> end = events(r.out, "end");
    ASSERT_EQ(end.size(), 1u) << r.out;
    EXPECT_EQ(end[0]["database_waiting"], 0) << r.out;
    EXPECT_EQ(end[0]["status"], 1) << r.out; // a failed board and an unusable one
    const json account = json::parse(r.account);
    for (const json &plug : plug_ins(account)) {
        const json line = line_for(lines, plug["usb_path"], 0);
        EXPECT_EQ(line["result"] == "ok", took_whole_image(plug)) << line;
    }
}

// The server crashes (pg_ctl stop -m immediate) while a station runs: the
// boards that arrive are flashed all the same and their lines wait; the
// server restarted, every line reaches the table once, in order. Or the gang
// is SIGKILLed while the lines wait, and the next run ships them first.
TEST_F(GangDatabase, ServerStoppedMidSessionThenEveryLineOnceInOrder)
{
    const struct {
        const char *what;
        bool kill_gang;
    } cases[] = {{"the session goes on", false}, {"the gang killed, then run again", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        database = server.new_database();
        for (const char *file : {"record.jsonl", "record.jsonl.cursor", "stop", "kill"})
            std::remove(dir.file(file).c_str());
        vdev_result r;
        std::thread station([&] {
            r = gang_run({"serial=M1,arrive=0.3", "serial=M2,arrive=6", "serial=M3,arrive=7"},
                         {"--watch", "--json"}, "record.jsonl", runner());
        });
        // M1's line is in the table; then the server crashes, and M2 and M3
        // arrive while it is away.
        const bool shipped = rows_reach(1);
        server.stop_immediate();
        const bool flashed = wait_until([&] {
            return read_text(dir.file("record.jsonl"), "").find("\"M3\"") != std::string::npos;
        });
        if (!c.kill_gang) {
            EXPECT_TRUE(server.start());
            EXPECT_TRUE(rows_reach(3));
        }
        write_file(dir.file(c.kill_gang ? "kill" : "stop"), {});
        station.join();
        ASSERT_TRUE(shipped && flashed) << r.err;
        for (const json &plug : plug_ins(json::parse(r.account)))
            EXPECT_TRUE(took_whole_image(plug)) << plug["usb_path"];
        const std::string out = read_text(dir.file("gang.out"), "");
        const std::vector<json> database_events = events(out, "database");
        ASSERT_FALSE(database_events.empty()) << out;
        EXPECT_EQ(database_events[0]["state"], "away") << out;
        if (c.kill_gang) {
            EXPECT_EQ(read_text(dir.file("left.txt")), "") << "flashers outlived the gang";
            ASSERT_TRUE(server.start());
            // The next run: its own board after the lines that waited.
            const vdev_result again = gang_run({"serial=M4"}, {"--json"}, "record.jsonl");
            EXPECT_EQ(again.status, 0) << again.err;
        } else {
            EXPECT_EQ(read_text(dir.file("status.txt")), "0\n") << r.err;
            ASSERT_EQ(database_events.size(), 2u) << out;
            EXPECT_EQ(database_events[1]["state"], "ready") << out;
            EXPECT_EQ(database_events[1]["waiting"], 2) << out; // M2's and M3's
        }
        expect_table_holds("record.jsonl");
    }
}

// Two stations, one database: whether B flashes a board depends on the
// board's latest line at either station.
TEST_F(GangDatabase, TwoStationsOneDatabase)
{
    const std::string other = dir.write("other.bin", pattern(11 + 3 * 2048 + 16, 9));
    struct at_a {
        std::string device; // the board X at station A
        const char *image;
    };
    const struct {
        const char *what;
        std::vector<at_a> runs_at_a;
        bool skipped_at_b;
    } cases[] = {
        {"flashed ok at A: skipped at B", {{"serial=X", "image.bin"}}, true},
        {"failed at A after an ok: flashed at B",
         {{"serial=X", "image.bin"}, {"serial=X,stall=40", "image.bin"}},
         false},
        {"ok at A with another image: flashed at B", {{"serial=X", "other.bin"}}, false},
        {"never at A: flashed at B", {}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        database = server.new_database();
        for (const char *file : {"a.jsonl", "a.jsonl.cursor", "b.jsonl", "b.jsonl.cursor"})
            std::remove(dir.file(file).c_str());
        std::size_t lines_at_a = 0;
        for (const at_a &run : c.runs_at_a) {
            const vdev_result a =
                run_vdev(dir, {.command = {"--logs", "logs", "--record", "a.jsonl", "--record-db",
                                           conninfo(), "--station", "A", run.image},
                               .devices = {run.device},
                               .program = gang,
                               .json = true});
            ASSERT_TRUE(rows_reach(++lines_at_a)) << a.err;
        }
        // B waits for its answers as long as it takes here: the short
        // deadline is the benchmark's and the paused server's.
        const vdev_result b = gang_run({"serial=X"}, {"--station", "B", "--skip-done"}, "b.jsonl",
                                       {"/usr/bin/env", "FLASHER_GANG_LOOKUP_MS=60000"});
        const std::vector<json> lines = record_lines(dir.file("b.jsonl"));
        ASSERT_EQ(lines.size(), 1u) << b.err;
        EXPECT_EQ(lines[0]["done_lookup"], "database") << lines[0];
        EXPECT_EQ(lines[0]["result"], c.skipped_at_b ? "skipped" : "ok") << lines[0];
        EXPECT_EQ(lines[0]["done"].is_null() ? "" : lines[0]["done"]["station"],
                  c.skipped_at_b ? "A" : "")
            << lines[0];
        const json account = json::parse(b.account);
        EXPECT_EQ(account["devices"][0]["account"]["transfers"] != 0, !c.skipped_at_b);
        if (!c.skipped_at_b) {
            EXPECT_TRUE(took_whole_image(plug_ins(account)[0])) << b.account;
        }
    }
}

// A server that takes connections and answers nothing (SIGSTOP): the board
// is flashed whole, and its line says it was not looked up.
TEST_F(GangDatabase, ADatabaseThatDoesNotAnswerNeverStopsAFlash)
{
    const vdev_result a =
        run_vdev(dir, {.command = {"--logs", "logs", "--record", "a.jsonl", "--record-db",
                                   conninfo(), "--station", "A", "image.bin"},
                       .devices = {"serial=X"},
                       .program = gang,
                       .json = true});
    ASSERT_TRUE(rows_reach(1)) << a.err;
    server.pause();
    const vdev_result b =
        gang_run({"serial=X"}, {"--watch", "--skip-done"}, "b.jsonl", runner("[ -s b.jsonl ]"));
    server.resume();
    EXPECT_EQ(read_text(dir.file("status.txt")), "0\n") << b.err;
    const std::vector<json> lines = record_lines(dir.file("b.jsonl"));
    ASSERT_EQ(lines.size(), 1u) << b.err;
    EXPECT_EQ(lines[0]["result"], "ok") << lines[0];
    EXPECT_EQ(lines[0]["done_lookup"], "not looked up: the database did not answer in time");
    EXPECT_TRUE(took_whole_image(plug_ins(json::parse(b.account))[0])) << b.account;
}

// A board that waits for its answer when the run is stopped, or when it is
// unplugged: it is never touched, and its line says it was not looked up.
TEST_F(GangDatabase, ABoardThatWaitsForItsAnswerIsNeverTouchedAfterAStopOrItsLeaving)
{
    const struct {
        const char *what;
        std::string device;
        std::string until; // when the station is stopped
        std::string status, result, reason, lookup;
    } cases[] = {
        {"a stop", "serial=X", "grep -q '\"phase\":\"asking the database\"' gang.out", "1\n",
         "interrupted", "stopped before its flasher started",
         "not looked up: the run was stopped first"},
        // The station waits 2 s for the paused server before it watches.
        {"unplugged", "serial=X,arrive=3,leave=5", "[ -s record.jsonl ]", "1\n", "not flashed",
         "unplugged before the database answered", "not looked up: the board left first"},
    };
    server.pause();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(dir.file("record.jsonl").c_str());
        const vdev_result r =
            gang_run({c.device}, {"--watch", "--json", "--skip-done"}, "record.jsonl",
                     {"/usr/bin/env", "FLASHER_GANG_LOOKUP_MS=60000", "/bin/bash", "-c",
                      runner(c.until)[2], "runner"});
        EXPECT_EQ(read_text(dir.file("status.txt")), c.status) << r.err;
        const std::vector<json> lines = record_lines(dir.file("record.jsonl"));
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_EQ(lines[0]["result"], c.result) << lines[0];
        EXPECT_EQ(lines[0]["reason"], c.reason) << lines[0];
        EXPECT_EQ(lines[0]["done_lookup"], c.lookup) << lines[0];
        EXPECT_EQ(plug_ins(json::parse(r.account))[0]["account"]["transfers"], 0) << r.account;
    }
    server.resume();
}

// A database that answers and refuses, or a connection string that cannot
// be used: status 1 at the start with the reason, no device touched, no run
// directory left.
TEST_F(GangDatabase, RefusedAtTheStartBeforeAnyDeviceIsTouched)
{
    ASSERT_EQ(pg_query(server.conninfo(), "CREATE ROLE pw LOGIN SUPERUSER PASSWORD 'right'").error,
              "");
    ASSERT_TRUE(server.allow_first("local all pw scram-sha-256"));
    const std::string newer = server.new_database();
    ASSERT_EQ(pg_script(server.conninfo(newer), SCHEMA_SQL).error, "");
    ASSERT_EQ(
        pg_query(server.conninfo(newer), "INSERT INTO flasher.schema_version VALUES (99)").error,
        "");
    std::ofstream(dir.file("pgpass")) << "*:*:*:pw:wrong\n";
    chmod(dir.file("pgpass").c_str(), 0600);
    const struct {
        const char *what;
        std::string conninfo;
        const char *message;
        bool record_made; // only a server's refusal comes after the record is opened
    } cases[] = {
        {"a connection string that does not parse", "host='" + server.socket_dir(),
         "the database connection string does not parse", false},
        {"a password in it", conninfo() + " password=right", "holds a password", false},
        {"a wrong password", server.conninfo(database, "pw"),
         "password authentication failed for user \"pw\"", true},
        {"a schema newer than the gang's", server.conninfo(newer),
         "schema is version 99, newer than this flasher-gang knows", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(dir.file("record.jsonl"));
        const vdev_result r = run_vdev(
            dir,
            {.command = {"--logs", "logs", "--record", "record.jsonl", "--record-db", c.conninfo,
                         "image.bin"},
             .devices = {"serial=A"},
             .wrapper = {"/usr/bin/env", "-u", "PGPASSWORD", "PGPASSFILE=" + dir.file("pgpass")},
             .program = gang,
             .json = true});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(has(r.err, c.message)) << r.err;
        EXPECT_TRUE(has(r.err, "no device was touched")) << r.err;
        const json account = json::parse(r.account, nullptr, false);
        ASSERT_FALSE(account.is_discarded()) << r.account;
        EXPECT_EQ(account["devices"][0]["account"]["transfers"], 0);
        EXPECT_FALSE(std::filesystem::exists(dir.file("logs"))) << "a run directory was left";
        EXPECT_EQ(std::filesystem::exists(dir.file("record.jsonl")), c.record_made);
    }
}

} // namespace
