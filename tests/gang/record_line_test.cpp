// The record's line, schema 2: every field in its order, null where it does
// not apply; flasher's last line kept printable.
#include "tools/gang/record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace
{

run_facts firmware_run()
{
    run_facts run;
    run.run_id = "20261208T150102.345Z-4242";
    run.station = "line-3";
    run.host = "bench-7";
    run.mode = "firmware";
    run.image = "img.bin";
    run.image_size = 6187;
    run.image_sha256 = std::string(64, 'a');
    run.plan_pages = 3;
    run.plan_trailer = true;
    run.flasher = "/usr/local/bin/flasher";
    run.vid = 0x1209;
    run.pid = 0x000A;
    return run;
}

wall_time at(long long ms)
{
    return wall_time(std::chrono::milliseconds(ms));
}

TEST(RecordLine, HoldsEverySchema2FieldInOrder)
{
    board_line flashed;
    flashed.usb_path = "1-1.4";
    flashed.plug_in = 2;
    flashed.serial = "SN01";
    flashed.start = at(1796742062345);
    flashed.end = at(1796742069001);
    flashed.seconds = 6.6564;
    flashed.taken = message_tally{102, true, {true, false}, 3, false, std::nullopt};
    flashed.result = "failed";
    flashed.reason = "the trailer was not taken whole";
    flashed.done_lookup = "record";
    flashed.exit_status = 0;
    flashed.last_line = "page: 2  ";

    board_line skipped;
    skipped.usb_path = "1-2";
    skipped.start = skipped.end = at(1796742062345);
    skipped.result = "skipped";
    skipped.reason = "already done";
    skipped.done = done_record{"R1", "2026-12-08T15:00:00.000Z", "1-3", ""};

    const std::string common = R"({"schema":2,"run":"20261208T150102.345Z-4242",)"
                               R"("station":"line-3","host":"bench-7",)";
    const std::string run_wide = R"("mode":"firmware","erase_all":false,)"
                                 R"("image":{"given":"img.bin","size":6187,"sha256":")" +
                                 std::string(64, 'a') + R"("},"plan":{"pages":3,"trailer":true},)";
    const std::string flasher =
        R"("flasher":{"path":"/usr/local/bin/flasher","vid":"1209","pid":"000A"}})";
    struct line_case {
        const char *what;
        const board_line &line;
        std::string text;
    } cases[] = {
        {"flashed", flashed,
         common +
             R"("start":"2026-12-08T15:01:02.345Z","end":"2026-12-08T15:01:09.001Z",)"
             R"("usb_path":"1-1.4","plug_in":2,"serial":"SN01",)" +
             run_wide +
             R"("taken":{"messages":102,"erase":true,"zero_bytes":[true,false],"pages":3,)"
             R"("trailer":false,"params":null},"result":"failed",)"
             R"("reason":"the trailer was not taken whole","done":null,"done_lookup":"record",)"
             R"("exit_status":0,"signal":null,"last_line":"page: 2","seconds":6.656,)" +
             flasher},
        {"skipped, nothing known", skipped,
         common +
             R"("start":"2026-12-08T15:01:02.345Z","end":"2026-12-08T15:01:02.345Z",)"
             R"("usb_path":"1-2","plug_in":null,"serial":null,)" +
             run_wide +
             R"("taken":null,"result":"skipped","reason":"already done",)"
             R"("done":{"run":"R1","end":"2026-12-08T15:00:00.000Z","usb_path":"1-3",)"
             R"("station":null},"done_lookup":null,"exit_status":null,"signal":null,)"
             R"("last_line":null,"seconds":null,)" +
             flasher},
    };
    for (const line_case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(json_line(record_line(firmware_run(), c.line)), c.text + "\n");
    }
}

TEST(RecordLine, EraseHasNoImage)
{
    run_facts run = firmware_run();
    run.mode = "erase";
    run.image.clear();
    board_line b;
    b.result = "ok";
    const nlohmann::ordered_json line = record_line(run, b);
    EXPECT_TRUE(line["image"].is_null());
    EXPECT_EQ(line["mode"], "erase");
}

TEST(RecordLine, LastLineIsOnePrintableLine)
{
    struct printable_case {
        std::string raw, kept;
    } cases[] = {
        {"page: 239", "page: 239"},
        {"page: 2  ", "page: 2"},
        {"   ", ""},
        {"string desc 3 A\x1b[2J", "string desc 3 A\\x1B[2J"},
        {"a\rb\nc\x7f", "a\\x0Db\\x0Ac\\x7F"},
        {"back\\slash", "back\\\\slash"},
        {std::string("nul\0x", 5), "nul\\x00x"},
    };
    for (const printable_case &c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(printable_line(c.raw), c.kept);
    }
}

// A serial that is not UTF-8 still gives a line of JSON.
TEST(RecordLine, InvalidUtf8NeverLosesTheLine)
{
    board_line b;
    b.serial = "SN\xff\xfe";
    b.result = "ok";
    const std::string text = json_line(record_line(firmware_run(), b));
    EXPECT_FALSE(nlohmann::json::parse(text, nullptr, false).is_discarded()) << text;
}

} // namespace
