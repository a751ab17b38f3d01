// The shipper against a real server: every line reaches the table once with
// its fields, in order, through a server crash, a killed shipper, a server
// that does not answer, lines the database refuses and two gangs sharing a
// record. The rows are read over plain libpq and compared with the lines as
// parsed here.
#include "records.h"
#include "ship_driver.h"
#include "tools/gang/database/record_db.h"

#include <cstdlib>
#include <fstream>

using namespace recorddb;
using json = nlohmann::json;

namespace
{

db_settings settings_for(const std::string &conninfo, const std::string &record)
{
    db_settings s;
    s.ship.conninfo = conninfo;
    s.ship.record = record;
    return s;
}

// The runs of the table's rows, in the order they were stored.
std::vector<std::string> stored_runs(const std::vector<support::pg_row> &rows)
{
    std::vector<std::string> runs;
    for (const support::pg_row &r : rows)
        runs.push_back(r[0].value_or("(null)"));
    return runs;
}

std::vector<std::string> runs_of(const std::vector<ordered> &lines)
{
    std::vector<std::string> runs;
    for (const ordered &l : lines)
        runs.push_back(l["run"]);
    return runs;
}

// A field as PostgreSQL prints the column it went to.
std::optional<std::string> as_postgres_prints(const json &v)
{
    if (v.is_null())
        return std::nullopt;
    if (v.is_boolean())
        return v.get<bool>() ? "t" : "f";
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_array()) {
        std::string text = "{";
        for (const json &e : v)
            text += std::string(text.size() > 1 ? "," : "") + (e.get<bool>() ? "t" : "f");
        return text + "}";
    }
    return v.dump();
}

const std::string utc = "AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";

// Each column and the field of the line it holds.
const std::pair<std::string, const char *> columns[] = {
    {"schema", "/schema"},
    {"run", "/run"},
    {"station", "/station"},
    {"host", "/host"},
    {"to_char(start_time " + utc, "/start"},
    {"to_char(end_time " + utc, "/end"},
    {"usb_path", "/usb_path"},
    {"plug_in", "/plug_in"},
    {"serial", "/serial"},
    {"mode", "/mode"},
    {"erase_all", "/erase_all"},
    {"image_given", "/image/given"},
    {"image_size", "/image/size"},
    {"image_sha256", "/image/sha256"},
    {"plan_pages", "/plan/pages"},
    {"plan_trailer", "/plan/trailer"},
    {"taken_messages", "/taken/messages"},
    {"taken_erase", "/taken/erase"},
    {"taken_zero_bytes", "/taken/zero_bytes"},
    {"taken_pages", "/taken/pages"},
    {"taken_trailer", "/taken/trailer"},
    {"taken_params", "/taken/params"},
    {"result", "/result"},
    {"reason", "/reason"},
    {"done_run", "/done/run"},
    {"done_end", "/done/end"},
    {"done_usb_path", "/done/usb_path"},
    {"done_station", "/done/station"},
    {"done_lookup", "/done_lookup"},
    {"exit_status", "/exit_status"},
    {"signal", "/signal"},
    {"last_line", "/last_line"},
    {"seconds", "/seconds"},
    {"flasher_path", "/flasher/path"},
    {"flasher_vid", "/flasher/vid"},
    {"flasher_pid", "/flasher/pid"},
};

std::vector<ordered> varied_lines()
{
    std::vector<ordered> lines;
    lines.push_back(record_line("r1", "1-1", 0, "SN01", 1)); // batch mode: plug_in null
    ordered params = record_line("r2", "1-2", 3, "SN02", 2);
    params["mode"] = "parameters";
    params["plan"] = {{"pages", 0}, {"trailer", false}};
    params["taken"] = {{"messages", 3}, {"erase", nullptr},   {"zero_bytes", json::array()},
                       {"pages", 0},    {"trailer", nullptr}, {"params", true}};
    lines.push_back(params);
    ordered erase = record_line("r2", "1-3", 1, "SN03", 3);
    erase["mode"] = "erase";
    erase["erase_all"] = true;
    erase["image"] = nullptr;
    lines.push_back(erase);
    ordered failed = record_line("r3", "1-1", 2, "", 4); // no serial
    failed["result"] = "failed";
    failed["reason"] = "the trailer was not taken whole";
    failed["taken"]["trailer"] = false;
    failed["taken"]["zero_bytes"] = {true, false};
    failed["exit_status"] = 1;
    lines.push_back(failed);
    ordered interrupted = record_line("r3", "1-2", 2, "SN05", 5);
    interrupted["result"] = "interrupted";
    interrupted["reason"] = "interrupted";
    interrupted["exit_status"] = nullptr;
    interrupted["signal"] = 15;
    lines.push_back(interrupted);
    // Quotes, backslashes, control characters and more than ASCII: verbatim.
    ordered skipped = record_line("r4", "1-4", 1, "a'b\"c\\d\x01\t\n\x7f \xce\xa9;--", 6);
    skipped["result"] = "skipped";
    skipped["reason"] = "already done with this image";
    skipped["done"] = {{"run", "r0"},
                       {"end", "2026-12-08T14:00:00.000Z"},
                       {"usb_path", "1-9"},
                       {"station", "line-1"}};
    skipped["done_lookup"] = "database";
    skipped["taken"] = nullptr;
    skipped["last_line"] = nullptr;
    skipped["seconds"] = nullptr;
    skipped["exit_status"] = nullptr;
    lines.push_back(skipped);
    return lines;
}

class Shipping : public DatabaseTest
{
};

TEST_F(Shipping, EveryLineOnceWithItsFields)
{
    const std::vector<ordered> lines = varied_lines();
    append_lines(record, lines);
    {
        record_db db(settings_for(conninfo(), record));
        const start_outcome started = db.start(std::chrono::seconds(60));
        ASSERT_EQ(started.verdict, start_verdict::ready) << started.message;
        EXPECT_EQ(db.finish(std::chrono::seconds(60)), 0u);
    }
    std::string select;
    for (const auto &[column, field] : columns)
        select += column + ", ";
    const std::vector<support::pg_row> stored = rows(select + "line::text");
    ASSERT_EQ(stored.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const json local = json::parse(lines[i].dump());
        for (std::size_t c = 0; c < std::size(columns); ++c) {
            const json::json_pointer at(columns[c].second);
            const json value = local.contains(at) ? local[at] : json(nullptr);
            EXPECT_EQ(stored[i][c], as_postgres_prints(value))
                << "line " << i << ", column " << columns[c].first;
        }
        EXPECT_EQ(json::parse(stored[i].back().value_or("null")), local) << "line " << i;
    }
    // Every line sent again (a cursor lost): each is still stored once.
    ASSERT_EQ(std::remove((record + ".cursor").c_str()), 0);
    record_db again(settings_for(conninfo(), record));
    ASSERT_EQ(again.start(std::chrono::seconds(60)).verdict, start_verdict::ready);
    EXPECT_EQ(again.finish(std::chrono::seconds(60)), 0u);
    EXPECT_EQ(stored_runs(rows("run")), runs_of(lines));
}

std::vector<ordered> numbered(const std::string &run, int from, int count)
{
    std::vector<ordered> lines;
    for (int i = from; i < from + count; ++i)
        lines.push_back(
            record_line(run + std::to_string(i), "1-1", i, "SN" + std::to_string(i), i % 60));
    return lines;
}

TEST_F(Shipping, ServerCrashWhileLinesWaitThenEveryLineOnceInOrder)
{
    std::vector<ordered> all = numbered("r", 1, 3);
    append_lines(record, all);
    ship_driver ship({conninfo(), record});
    ASSERT_EQ(ship.await_prefix("start "), "start ready ") << ship.seen();
    ASSERT_NE(ship.await_prefix("waiting 0"), "") << ship.seen();
    server.stop_immediate();
    const std::vector<ordered> more = numbered("r", 4, 5);
    append_lines(record, more);
    all.insert(all.end(), more.begin(), more.end());
    ship.send("appended");
    // Seen away (when the server went, or when the lines were sent), the
    // lines waiting.
    ASSERT_TRUE(ship.await([&](const std::string &) {
        return ship.seen().find("state away") != std::string::npos &&
               ship.seen().find("waiting 5\n") != std::string::npos;
    })) << ship.seen();
    ASSERT_TRUE(server.start());
    ASSERT_NE(ship.await_prefix("waiting 0"), "") << ship.seen();
    EXPECT_EQ(stored_runs(rows("run")), runs_of(all));
}

TEST_F(Shipping, ShipperKilledWhileLinesWaitThenEveryLineOnceInOrder)
{
    std::vector<ordered> all = numbered("r", 1, 4);
    append_lines(record, all);
    {
        ship_driver ship({conninfo(), record});
        ASSERT_NE(ship.await_prefix("waiting 0"), "") << ship.seen();
        server.stop_immediate();
        const std::vector<ordered> more = numbered("r", 5, 6);
        append_lines(record, more);
        all.insert(all.end(), more.begin(), more.end());
        ship.send("appended");
        ASSERT_NE(ship.await_prefix("waiting 6"), "") << ship.seen();
        ship.kill_now();
        EXPECT_EQ(ship.wait(), 128 + SIGKILL);
    }
    ASSERT_TRUE(server.start());
    ship_driver again({"--exit-when-shipped", conninfo(), record});
    EXPECT_NE(again.await_prefix("left 0 "), "") << again.seen();
    EXPECT_EQ(again.wait(), 0);
    EXPECT_EQ(stored_runs(rows("run")), runs_of(all));
}

TEST_F(Shipping, AServerThatDoesNotAnswerNeverStopsTheLoop)
{
    append_lines(record, numbered("r", 1, 2));
    ship_driver ship({"--ticks", "--lookups", conninfo(), record});
    ASSERT_NE(ship.await_prefix("waiting 0"), "") << ship.seen();
    server.pause();
    append_lines(record, numbered("r", 3, 2));
    ship.send("appended");
    ship.send("lookup " + std::string("534e3031") + " " + std::string(64, 'a') + " firmware 300");
    EXPECT_NE(ship.await_prefix("answer 1 not-looked-up"), "") << ship.seen();
    // The loop goes on turning: 20 more turns of at most 100 ms each.
    const long first = std::stol(ship.await_prefix("tick ").substr(5));
    EXPECT_NE(ship.await_prefix("tick " + std::to_string(first + 20)), "") << ship.seen();
    EXPECT_NE(ship.seen().find("waiting 2\n"), std::string::npos) << ship.seen();
    server.resume();
    EXPECT_NE(ship.await_prefix("waiting 0"), "") << ship.seen();
    EXPECT_EQ(rows("run").size(), 4u);
}

TEST_F(Shipping, LinesTheDatabaseCannotTakeArePassedOverAndNamed)
{
    ordered no_port = record_line("r2", "1-1", 1, "SN2", 2);
    no_port.erase("usb_path");
    ordered bad_plug_in = record_line("r3", "1-1", 1, "SN3", 3);
    bad_plug_in["plug_in"] = "one";
    append_lines(record, {record_line("r1", "1-1", 1, "SN1", 1), no_port, bad_plug_in});
    std::ofstream(record, std::ios::app) << "{\"run\":\"cut short\n";
    append_lines(record, {record_line("r5", "1-1", 1, "SN5", 5)});
    record_db db(settings_for(conninfo(), record));
    ASSERT_EQ(db.start(std::chrono::seconds(60)).verdict, start_verdict::ready);
    EXPECT_EQ(db.finish(std::chrono::seconds(60)), 0u);
    EXPECT_EQ(stored_runs(rows("run")), (std::vector<std::string>{"r1", "r5"}));
    EXPECT_EQ(db.ship().passed_over(), 3u);
    const std::string first_bad =
        std::to_string(record_line("r1", "1-1", 1, "SN1", 1).dump().size() + 1);
    EXPECT_NE(db.ship().passed_note().find("the line at byte " + first_bad + " is not shipped"),
              std::string::npos)
        << db.ship().passed_note();
}

TEST_F(Shipping, TwoGangsOnOneRecordAndANewDatabase)
{
    ship_driver a({conninfo(), record}), b({conninfo(), record});
    // Both make the schema at once: one waits for the other's transaction.
    EXPECT_EQ(a.await_prefix("start "), "start ready ") << a.seen();
    EXPECT_EQ(b.await_prefix("start "), "start ready ") << b.seen();
    std::vector<ordered> all;
    for (int round = 0; round < 5; ++round) {
        const std::vector<ordered> lines = numbered("r", 1 + 3 * round, 3);
        append_lines(record, lines);
        all.insert(all.end(), lines.begin(), lines.end());
        (round % 2 == 0 ? a : b).send("appended");
    }
    a.send("appended");
    b.send("appended");
    a.send("finish 60000");
    b.send("finish 60000");
    EXPECT_NE(a.await_prefix("left 0 "), "") << a.seen();
    EXPECT_NE(b.await_prefix("left 0 "), "") << b.seen();
    EXPECT_EQ(stored_runs(rows("run")), runs_of(all));
}

} // namespace
