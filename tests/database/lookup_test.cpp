// Against a real server: what refuses a start and what is only away, the
// done look-up across stations, the role that may only add and read, and
// the views.
#include "records.h"
#include "tools/gang/database/record_db.h"

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

using namespace recorddb;

namespace
{

const std::string sha(64, 'a'), other_sha(64, 'b');

db_settings settings_for(const std::string &conninfo, const std::string &record,
                         bool lookups = false)
{
    db_settings s;
    s.ship.conninfo = conninfo;
    s.ship.record = record;
    s.lookups = lookups;
    return s;
}

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

class Start : public DatabaseTest
{
};

TEST_F(Start, RefusedBeforeAnyDeviceOrAway)
{
    // A role that must give a password, which comes from the password file.
    ASSERT_EQ(
        support::pg_query(conninfo(), "CREATE ROLE pw LOGIN SUPERUSER PASSWORD 'right'").error, "");
    ASSERT_TRUE(server.allow_first("local all pw scram-sha-256"));
    support::scratch_dir newer_dir;
    const std::string newer = server.new_database();
    ASSERT_EQ(support::pg_script(server.conninfo(newer), SCHEMA_SQL).error, "");
    ASSERT_EQ(
        support::pg_query(server.conninfo(newer), "INSERT INTO flasher.schema_version VALUES (99)")
            .error,
        "");
    support::scratch_dir nothing; // a socket directory where no server runs
    struct {
        const char *what;
        std::string conninfo;
        const char *password_file; // its line, or none
        start_verdict verdict;
        const char *message; // a part of it
    } cases[] = {
        {"the right password, from the password file", conninfo("pw"), "*:*:*:pw:right",
         start_verdict::ready, ""},
        {"a password in the connection string", conninfo() + " password=x", nullptr,
         start_verdict::refused, "holds a password"},
        {"a connection string that does not parse", "host='" + server.socket_dir(), nullptr,
         start_verdict::refused, "does not parse: unterminated quoted string"},
        {"a wrong password", conninfo("pw"), "*:*:*:pw:wrong", start_verdict::refused,
         "password authentication failed for user \"pw\""},
        {"no password at all", conninfo("pw"), nullptr, start_verdict::refused,
         "no password supplied"},
        {"no such database", server.conninfo("nope"), nullptr, start_verdict::refused,
         "database \"nope\" does not exist"},
        {"a schema newer than this program's", server.conninfo(newer), nullptr,
         start_verdict::refused, "schema is version 99, newer than this flasher-gang knows (1)"},
        {"no server", "host='" + nothing.path() + "' dbname=x", nullptr, start_verdict::away,
         "No such file or directory"},
    };
    const std::string passfile = dir.file("pgpass");
    unsetenv("PGPASSWORD"); // only the password file speaks here
    for (const auto &c : cases) {
        std::remove(passfile.c_str());
        if (c.password_file != nullptr) {
            std::ofstream(passfile) << c.password_file << "\n";
            chmod(passfile.c_str(), 0600);
        }
        setenv("PGPASSFILE", passfile.c_str(), 1);
        record_db db(settings_for(c.conninfo, record));
        const start_outcome out =
            db.start(std::chrono::seconds(c.verdict == start_verdict::away ? 1 : 60));
        EXPECT_EQ(out.verdict, c.verdict) << c.what << ": " << out.message;
        EXPECT_TRUE(has(out.message, c.message)) << c.what << ": " << out.message;
    }
    unsetenv("PGPASSFILE");
}

class Lookup : public DatabaseTest
{
  protected:
    // Asks about `serial` and turns the loop until the answer comes.
    lookup_answer ask(record_db &db, const std::string &serial, const std::string &image,
                      const std::string &mode = "firmware")
    {
        const auto now = std::chrono::steady_clock::now();
        const unsigned id = db.look_up({serial, image, mode}, now + std::chrono::seconds(30));
        for (int turn = 0; turn < 100000; ++turn) {
            std::vector<pollfd> fds;
            db.add_fds(fds);
            poll(fds.data(), fds.size(), db.timeout_ms(std::chrono::steady_clock::now()));
            db.take(fds.empty() ? nullptr : fds.data(), std::chrono::steady_clock::now());
            for (lookup_answer &a : db.take_answers()) {
                if (a.id == id)
                    return a;
            }
        }
        ADD_FAILURE() << "no answer";
        return {};
    }
};

ordered line_of(const std::string &serial, const std::string &station, int end_second,
                const std::string &result, const std::string &image,
                const std::string &mode = "firmware")
{
    static int runs = 0;
    const int run = ++runs;
    ordered l = record_line("run" + std::to_string(run), "1-" + std::to_string(run % 7 + 1), 1,
                            serial, end_second);
    l["station"] = station;
    l["result"] = result;
    l["mode"] = mode;
    l["image"]["sha256"] = image;
    return l;
}

TEST_F(Lookup, TheLatestLineAtAnyStationDecides)
{
    const std::string odd_serial = "a'b\"c\\d\x01\t;--";
    struct {
        const char *what;
        std::string serial;
        std::vector<ordered> history; // in the order stored
        lookup_verdict verdict;
        const char *station; // of the line that decided
        int end_second;
    } cases[] = {
        {"ok at another station",
         "S1",
         {line_of("S1", "line-1", 5, "ok", sha)},
         lookup_verdict::skip,
         "line-1",
         5},
        {"never flashed", "S0", {}, lookup_verdict::flash, "", -1},
        {"a later failure cancels",
         "S2",
         {line_of("S2", "line-1", 5, "ok", sha), line_of("S2", "line-2", 9, "failed", sha)},
         lookup_verdict::flash,
         "line-2",
         9},
        {"stored later but ended earlier: the later end decides",
         "S3",
         {line_of("S3", "line-1", 9, "ok", sha), line_of("S3", "line-2", 5, "failed", sha)},
         lookup_verdict::skip,
         "line-1",
         9},
        {"another image later cancels",
         "S4",
         {line_of("S4", "line-1", 5, "ok", sha), line_of("S4", "line-2", 9, "ok", other_sha)},
         lookup_verdict::flash,
         "line-2",
         9},
        {"an erase later cancels",
         "S5",
         {line_of("S5", "line-1", 5, "ok", sha), line_of("S5", "line-1", 9, "ok", "", "erase")},
         lookup_verdict::flash,
         "line-1",
         9},
        {"the same end: the later row decides",
         "S6",
         {line_of("S6", "line-1", 5, "failed", sha), line_of("S6", "line-2", 5, "ok", sha)},
         lookup_verdict::skip,
         "line-2",
         5},
        {"a skip later changes nothing",
         "S7",
         {line_of("S7", "line-1", 5, "ok", sha), line_of("S7", "line-2", 9, "skipped", sha)},
         lookup_verdict::skip,
         "line-1",
         5},
        {"quotes, backslashes, control characters",
         odd_serial,
         {line_of(odd_serial, "line-3", 7, "ok", sha)},
         lookup_verdict::skip,
         "line-3",
         7},
    };
    for (const auto &c : cases)
        append_lines(record, c.history);
    record_db db(settings_for(conninfo(), record, true));
    ASSERT_EQ(db.start(std::chrono::seconds(60)).verdict, start_verdict::ready);
    ASSERT_EQ(db.finish(std::chrono::seconds(60)), 0u);
    for (const auto &c : cases) {
        const lookup_answer a = ask(db, c.serial, sha);
        EXPECT_EQ(a.verdict, c.verdict) << c.what << ": " << a.detail;
        ASSERT_EQ(a.latest.has_value(), c.end_second >= 0) << c.what;
        if (!a.latest)
            continue;
        EXPECT_EQ(a.latest->station, c.station) << c.what;
        char end[32];
        std::snprintf(end, sizeof end, "2026-12-08T15:01:%02d.250Z", c.end_second);
        EXPECT_EQ(a.latest->end, end) << c.what;
    }
}

TEST_F(Lookup, NotLookedUpWhenTheDatabaseIsAway)
{
    record_db db(settings_for(conninfo(), record, true));
    ASSERT_EQ(db.start(std::chrono::seconds(60)).verdict, start_verdict::ready);
    server.stop_immediate();
    const lookup_answer a = ask(db, "S1", sha);
    EXPECT_EQ(a.verdict, lookup_verdict::not_looked_up);
    EXPECT_TRUE(has(a.detail, "the database did not answer in time")) << a.detail;
}

class Role : public DatabaseTest
{
};

TEST_F(Role, StationsMayAddAndReadButNeverRewrite)
{
    ASSERT_EQ(support::pg_query(conninfo(), "CREATE ROLE line3 LOGIN").error, "");
    // Without the schema, the role may not make it: refused, saying so.
    {
        record_db db(settings_for(conninfo("line3"), record));
        const start_outcome out = db.start(std::chrono::seconds(60));
        EXPECT_EQ(out.verdict, start_verdict::refused);
        EXPECT_TRUE(has(out.message, "run schema.sql as its owner")) << out.message;
    }
    ASSERT_EQ(support::pg_script(conninfo(), SCHEMA_SQL).error, "");
    ASSERT_EQ(support::pg_script(conninfo(), STATION_ROLE_SQL).error, "");
    ASSERT_EQ(support::pg_query(conninfo(), "GRANT flasher_station TO line3").error, "");
    append_lines(record,
                 {line_of("S1", "line-3", 5, "ok", sha), line_of("S2", "line-3", 6, "ok", sha)});
    record_db db(settings_for(conninfo("line3"), record, true));
    ASSERT_EQ(db.start(std::chrono::seconds(60)).verdict, start_verdict::ready);
    EXPECT_EQ(db.finish(std::chrono::seconds(60)), 0u);
    EXPECT_EQ(rows("serial").size(), 2u);
    const char *rewrites[] = {
        "UPDATE flasher.record_line SET result = 'ok'",
        "DELETE FROM flasher.record_line",
        "TRUNCATE flasher.record_line",
        "DELETE FROM flasher.schema_version",
        "DROP VIEW flasher.latest_line",
        "SELECT * FROM flasher.latest_line", // reading is allowed
    };
    for (const char *sql : rewrites) {
        const support::pg_answer a = support::pg_query(conninfo("line3"), sql);
        EXPECT_EQ(a.sqlstate, has(sql, "SELECT") ? "" : "42501") << sql << ": " << a.error;
    }
}

class Views : public DatabaseTest
{
};

TEST_F(Views, AnswerTheLinesQuestions)
{
    std::vector<ordered> lines = {
        line_of("S1", "line-1", 1, "ok", sha),      line_of("S1", "line-2", 2, "failed", sha),
        line_of("S2", "line-1", 3, "ok", sha),      line_of("S3", "line-1", 4, "failed", sha),
        line_of("S4", "line-2", 5, "skipped", sha), line_of("S5", "line-2", 6, "ok", other_sha),
    };
    lines[1]["usb_path"] = lines[3]["usb_path"] = "1-9"; // one port fails twice
    lines[3]["station"] = "line-2";
    lines[5]["end"] = "2026-12-08T16:30:00.000Z"; // the next hour
    append_lines(record, lines);
    record_db db(settings_for(conninfo(), record));
    ASSERT_EQ(db.start(std::chrono::seconds(60)).verdict, start_verdict::ready);
    ASSERT_EQ(db.finish(std::chrono::seconds(60)), 0u);
    struct {
        const char *query;
        std::vector<support::pg_row> rows;
    } cases[] = {
        {"SELECT serial, station, result FROM flasher.latest_line ORDER BY serial",
         {{"S1", "line-2", "failed"},
          {"S2", "line-1", "ok"},
          {"S3", "line-2", "failed"},
          {"S4", "line-2", "skipped"},
          {"S5", "line-2", "ok"}}},
        {"SELECT left(image_sha256, 1), to_char(hour_utc, 'HH24'), flashed, ok, failed, "
         "skipped, yield FROM flasher.yield_per_hour ORDER BY 1, 2",
         {{"a", "15", "4", "2", "2", "1", "0.5000"}, {"b", "16", "1", "1", "0", "0", "1.0000"}}},
        {"SELECT station, usb_path, plug_ins, failed FROM flasher.port_failures "
         "WHERE failed > 0 ORDER BY station",
         {{"line-2", "1-9", "2", "2"}}},
    };
    for (const auto &c : cases) {
        const support::pg_answer a = support::pg_query(conninfo(), c.query);
        EXPECT_EQ(a.error, "") << c.query;
        EXPECT_EQ(a.rows, c.rows) << c.query;
    }
}

} // namespace
