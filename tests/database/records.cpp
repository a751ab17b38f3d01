#include "records.h"

#include <cstdio>
#include <fstream>

ordered record_line(const std::string &run, const std::string &usb_path, int plug_in,
                    const std::string &serial, int end_second)
{
    char end[32];
    std::snprintf(end, sizeof end, "2026-12-08T15:01:%02d.250Z", end_second);
    return {{"schema", 2},
            {"run", run},
            {"station", "line-3"},
            {"host", "bench-3"},
            {"start", "2026-12-08T15:01:00.000Z"},
            {"end", end},
            {"usb_path", usb_path},
            {"plug_in", plug_in > 0 ? ordered(plug_in) : ordered(nullptr)},
            {"serial", serial.empty() ? ordered(nullptr) : ordered(serial)},
            {"mode", "firmware"},
            {"erase_all", false},
            {"image", {{"given", "img.bin"}, {"size", 6187}, {"sha256", std::string(64, 'a')}}},
            {"plan", {{"pages", 3}, {"trailer", true}}},
            {"taken",
             {{"messages", 102},
              {"erase", true},
              {"zero_bytes", {true, true}},
              {"pages", 3},
              {"trailer", true},
              {"params", nullptr}}},
            {"result", "ok"},
            {"reason", nullptr},
            {"done", nullptr},
            {"done_lookup", nullptr},
            {"exit_status", 0},
            {"signal", nullptr},
            {"last_line", "page: 2"},
            {"seconds", 5.123},
            {"flasher", {{"path", "/usr/bin/flasher"}, {"vid", "1209"}, {"pid", "000A"}}}};
}

void append_lines(const std::string &path, const std::vector<ordered> &lines)
{
    std::ofstream out(path, std::ios::app | std::ios::binary);
    for (const ordered &line : lines)
        out << line.dump() << "\n";
}

void DatabaseTest::SetUp()
{
    std::string why;
    if (support::postgres_server::programs(why).empty()) {
        if (support::postgres_server::required())
            FAIL() << why;
        GTEST_SKIP() << why;
    }
    ASSERT_TRUE(server.create(why)) << why;
    database = server.new_database();
}

std::vector<support::pg_row> DatabaseTest::rows(const std::string &columns) const
{
    const support::pg_answer a = support::pg_query(
        conninfo(), "SELECT " + columns + " FROM flasher.record_line ORDER BY id");
    EXPECT_EQ(a.error, "");
    return a.rows;
}
