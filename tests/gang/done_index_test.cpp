// --skip-done on current facts only: the latest line for a serial decides,
// a shared or empty serial never skips, the record is followed as other
// writers append to it, and a line that cannot be read is counted, named
// once by its number and ignored. The record lines are written here, apart
// from the gang's own writer.
#include "support.h"
#include "tools/gang/done_index.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

using namespace support;
using json = nlohmann::ordered_json;

namespace
{

std::string sha(char digit)
{
    return std::string(64, digit);
}

std::string at(const std::string &hms)
{
    return "2026-12-08T" + hms + ".000Z";
}

// A schema-2 line as the record holds it. `image` 0: none (erase).
json line_object(const std::string &run, const std::string &serial, const std::string &result,
                 const std::string &hms, char image = 'a', const std::string &mode = "firmware")
{
    return {{"schema", 2},
            {"run", run},
            {"station", "S"},
            {"host", "h"},
            {"start", at(hms)},
            {"end", at(hms)},
            {"usb_path", "1-1"},
            {"plug_in", nullptr},
            {"serial", serial.empty() ? json(nullptr) : json(serial)},
            {"mode", mode},
            {"erase_all", false},
            {"image", image == 0
                          ? json(nullptr)
                          : json{{"given", "img.bin"}, {"size", 6171}, {"sha256", sha(image)}}},
            {"plan", {{"pages", 3}, {"trailer", true}}},
            {"taken", nullptr},
            {"result", result},
            {"reason", nullptr},
            {"done", nullptr},
            {"done_lookup", nullptr},
            {"exit_status", 0},
            {"signal", nullptr},
            {"last_line", nullptr},
            {"seconds", 1.0},
            {"flasher", {{"path", "/usr/bin/flasher"}, {"vid", "1209"}, {"pid", "000A"}}}};
}

std::string rec(const std::string &run, const std::string &serial, const std::string &result,
                const std::string &hms, char image = 'a', const std::string &mode = "firmware")
{
    return line_object(run, serial, result, hms, image, mode).dump();
}

// The same line with one field changed.
std::string with(const std::string &field, const json &value)
{
    json r = line_object("R0", "A", "ok", "15:00:00");
    r[field] = value;
    return r.dump();
}

void append(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

std::string record_of(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &l : lines)
        text += l + "\n";
    return text;
}

TEST(DoneIndex, TheLatestLineDecides)
{
    const std::string schema1 =
        R"({"schema":1,"run":"R1","host":"h","start":")" + at("15:00:01") + R"(","end":")" +
        at("15:00:01") +
        R"(","usb_path":"1-1","plug_in":null,"serial":"A","mode":"firmware","erase_all":false,)"
        R"("image":{"given":"img.bin","size":6171,"sha256":")" +
        sha('a') + R"("},"plan":{"pages":3,"trailer":true},"pages_reported":3,"result":"ok"})";
    struct skip_case {
        const char *what;
        std::vector<std::string> lines; // the record, in file order
        bool skip;
        std::string why; // the sentence for the display ("" when nothing is worth saying)
        std::string serial = "A";
        char image = 'a';
        std::string mode = "firmware";
        bool shared = false;
    } cases[] = {
        {"ok for this image",
         {rec("R1", "A", "ok", "15:00:01")},
         true,
         "already done with this image: ok at " + at("15:00:01") + " on 1-1 at station S, run R1"},
        {"never recorded", {rec("R1", "B", "ok", "15:00:01")}, false, ""},
        {"a later failure cancels",
         {rec("R1", "A", "ok", "15:00:01"), rec("R2", "A", "failed", "15:00:02")},
         false,
         "not skipped: its latest line (run R2, ended " + at("15:00:02") + ") is failed"},
        {"a later interruption cancels",
         {rec("R1", "A", "ok", "15:00:01"), rec("R2", "A", "interrupted", "15:00:02")},
         false,
         "not skipped: its latest line (run R2, ended " + at("15:00:02") + ") is interrupted"},
        {"a later erase cancels",
         {rec("R1", "A", "ok", "15:00:01"), rec("R2", "A", "ok", "15:00:02", 0, "erase")},
         false,
         "not skipped: its latest line (run R2, ended " + at("15:00:02") + ") is an ok erase"},
        {"a later other image cancels",
         {rec("R1", "A", "ok", "15:00:01"), rec("R2", "A", "ok", "15:00:02", 'b')},
         false,
         "not skipped: its latest line (run R2, ended " + at("15:00:02") +
             ") is ok for another image (SHA-256 bbbbbbbbbbbb...)"},
        {"ok for another image only: the SHA-256 must match",
         {rec("R1", "A", "ok", "15:00:01", 'b')},
         false,
         "not skipped: its latest line (run R1, ended " + at("15:00:01") +
             ") is ok for another image (SHA-256 bbbbbbbbbbbb...)"},
        {"ok in another mode",
         {rec("R1", "A", "ok", "15:00:01", 'a', "parameters")},
         false,
         "not skipped: its latest line (run R1, ended " + at("15:00:01") +
             ") is an ok parameters run"},
        {"an ok after a failure",
         {rec("R1", "A", "failed", "15:00:01"), rec("R2", "A", "ok", "15:00:02")},
         true,
         "already done with this image: ok at " + at("15:00:02") + " on 1-1 at station S, run R2"},
        {"the latest end, not the file's order",
         {rec("R1", "A", "ok", "15:00:02"), rec("R2", "A", "failed", "15:00:01")},
         true,
         "already done with this image: ok at " + at("15:00:02") + " on 1-1 at station S, run R1"},
        {"on a tie the later line: failed",
         {rec("R1", "A", "ok", "15:00:01"), rec("R2", "A", "failed", "15:00:01")},
         false,
         "not skipped: its latest line (run R2, ended " + at("15:00:01") + ") is failed"},
        {"on a tie the later line: ok",
         {rec("R1", "A", "failed", "15:00:01"), rec("R2", "A", "ok", "15:00:01")},
         true,
         "already done with this image: ok at " + at("15:00:01") + " on 1-1 at station S, run R2"},
        {"lines of boards no flasher ran for pass over",
         {rec("R1", "A", "ok", "15:00:01"), rec("R2", "A", "not flashed", "15:00:02"),
          rec("R3", "A", "skipped", "15:00:03")},
         true,
         "already done with this image: ok at " + at("15:00:01") + " on 1-1 at station S, run R1"},
        {"an unreadable line naming it, after the ok",
         {rec("R1", "A", "ok", "15:00:01"), with("result", 1)},
         false,
         "not skipped: RECORD line 2 names serial A and cannot be read"},
        {"a line after the unreadable one decides again",
         {with("result", 1), rec("R2", "A", "ok", "15:00:02")},
         true,
         "already done with this image: ok at " + at("15:00:02") + " on 1-1 at station S, run R2"},
        {"a schema 1 line",
         {schema1},
         true,
         "already done with this image: ok at " + at("15:00:01") + " on 1-1, run R1"},
        {"an empty serial",
         {rec("R1", "", "ok", "15:00:01")},
         false,
         "not skipped: the board has no serial, so the record cannot tell it from another",
         ""},
        {"a shared serial",
         {rec("R1", "A", "ok", "15:00:01")},
         false,
         "not skipped: serial A is shared by another board here, so the record cannot tell them "
         "apart",
         "A",
         'a',
         "firmware",
         true},
    };
    for (const skip_case &c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        const std::string path = dir.file("record.jsonl");
        append(path, record_of(c.lines));
        done_index index;
        std::string error;
        ASSERT_TRUE(open_done_index(index, path, error)) << error;
        const skip_answer a = decide_skip(index, c.serial, sha(c.image), c.mode, c.shared);
        EXPECT_EQ(a.skip, c.skip);
        std::string why = c.why;
        if (const std::size_t p = why.find("RECORD"); p != std::string::npos)
            why.replace(p, 6, path);
        EXPECT_EQ(a.why, why);
        const char *lookup = c.serial.empty() ? "not looked up: the serial is empty"
                             : c.shared       ? "not looked up: the serial is shared"
                                              : "record";
        EXPECT_EQ(a.lookup, lookup);
        if (c.skip) {
            const std::string run = why.substr(why.rfind("run ") + 4);
            EXPECT_EQ(a.done.run, run);
            EXPECT_EQ(a.done.station, c.lines.front() == schema1 ? "" : "S");
            EXPECT_EQ(a.done.usb_path, "1-1");
        }
    }
}

// Whatever a line holds, reading it never fails the gang: it is counted,
// named once by its line number, and the lines after it still count.
TEST(DoneIndex, AnUnreadableLineIsCountedNamedOnceAndIgnored)
{
    json no_station = line_object("R0", "A", "ok", "15:00:00");
    no_station.erase("station");
    struct unreadable_case {
        std::string text, why;
    } cases[] = {
        {R"({"result":1})", "\"schema\" is missing or not a whole number"},
        {with("result", 1), "\"result\" is missing or not a string"},
        {with("image", {{"sha256", 5}}), "\"image\" has no \"sha256\" of 64 lower-case hex digits"},
        {with("image", {{"sha256", "ABC"}}),
         "\"image\" has no \"sha256\" of 64 lower-case hex digits"},
        {with("serial", json::array({"A"})), "\"serial\" is missing or not a string or null"},
        {with("end", 5), "\"end\" is missing or not a string"},
        {with("end", "yesterday"), "\"end\" is not a time as the record writes it"},
        {with("run", nullptr), "\"run\" is missing or not a string"},
        {with("usb_path", true), "\"usb_path\" is missing or not a string"},
        {with("image", "img.bin"), "\"image\" is missing or not an object or null"},
        {with("schema", 3), "schema 3 is not one this flasher-gang reads (1 to 2)"},
        {with("schema", 0), "schema 0 is not one this flasher-gang reads (1 to 2)"},
        {with("schema", "2"), "\"schema\" is missing or not a whole number"},
        {with("schema", 2.5), "\"schema\" is missing or not a whole number"},
        {with("mode", "flash"), "\"mode\" is \"flash\", not a word of the record"},
        {with("result", "OK"), "\"result\" is \"OK\", not a word of the record"},
        {no_station.dump(), "\"station\" is missing or not a string"},
        {rec("R0", "A", "ok", "15:00:00").substr(0, 120), "not JSON (a line cut short?)"},
        {"", "an empty line"},
        {"\xff\xfe{", "not JSON (a line cut short?)"},
        {R"({"schema":1e400})", "not JSON (a line cut short?)"},
        {"[]", "not a JSON object"},
        {"5", "not a JSON object"},
        {"null", "not a JSON object"},
        {std::string(100000, '[') + std::string(100000, ']'), "not a JSON object"},
    };
    for (const unreadable_case &c : cases) {
        SCOPED_TRACE(c.why);
        scratch_dir dir;
        const std::string path = dir.file("record.jsonl");
        append(path, record_of({c.text, rec("R1", "B", "ok", "15:00:01")}));
        done_index index;
        std::string error;
        ASSERT_TRUE(open_done_index(index, path, error)) << error;
        EXPECT_EQ(index.unreadable, 1u);
        EXPECT_EQ(take_notes(index), std::vector<std::string>{path + " line 1 cannot be read: " +
                                                              c.why + "; it is ignored"});
        EXPECT_TRUE(decide_skip(index, "B", sha('a'), "firmware", false).skip);
        // Named once: reading on does not name it again.
        append(path, rec("R2", "C", "ok", "15:00:02") + "\n");
        follow_record(index);
        EXPECT_EQ(take_notes(index), std::vector<std::string>{});
        EXPECT_EQ(index.unreadable, 1u);
        EXPECT_TRUE(decide_skip(index, "C", sha('a'), "firmware", false).skip);
    }
}

// A record of garbage names its first lines and counts the rest.
TEST(DoneIndex, ManyUnreadableLinesAreCountedNotAllNamed)
{
    scratch_dir dir;
    const std::string path = dir.file("record.jsonl");
    append(path, record_of(std::vector<std::string>(500, "garbage")));
    done_index index;
    std::string error;
    ASSERT_TRUE(open_done_index(index, path, error)) << error;
    EXPECT_EQ(index.unreadable, 500u);
    const std::vector<std::string> notes = take_notes(index);
    ASSERT_EQ(notes.size(), 21u);
    EXPECT_EQ(notes[19], path + " line 20 cannot be read: not JSON (a line cut short?); it is "
                                "ignored");
    EXPECT_EQ(notes[20], "more lines of " + path + " cannot be read; they are counted and ignored");
}

// Other gangs append to the record while this one runs: each look takes
// the new tail, and a line its writer has not ended yet waits for its end.
TEST(DoneIndex, FollowsTheLinesOthersAppend)
{
    scratch_dir dir;
    const std::string path = dir.file("record.jsonl");
    const auto skips = [](done_index &index) {
        return decide_skip(index, "A", sha('a'), "firmware", false).skip;
    };
    done_index index;
    std::string error;
    ASSERT_TRUE(open_done_index(index, path, error)) << "a missing record is an empty one";
    EXPECT_FALSE(skips(index));
    const std::string failed = rec("R2", "A", "failed", "15:00:02") + "\n";
    struct step {
        const char *what;
        std::string appended;
        bool skip;
    } steps[] = {
        {"the record appears", rec("R1", "A", "ok", "15:00:01") + "\n", true},
        {"a failure half written", failed.substr(0, 100), true},
        {"its end", failed.substr(100), false},
        {"an ok again", rec("R3", "A", "ok", "15:00:03") + "\n", true},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.what);
        append(path, s.appended);
        follow_record(index);
        EXPECT_EQ(skips(index), s.skip);
        EXPECT_EQ(index.unreadable, 0u);
    }
    // Replaced (rotated): the new file is read from its start.
    const std::string rotated = dir.file("new.jsonl");
    append(rotated, record_of({"cut", rec("R4", "A", "failed", "15:00:04")}));
    ASSERT_EQ(std::rename(rotated.c_str(), path.c_str()), 0);
    follow_record(index);
    EXPECT_FALSE(skips(index));
    EXPECT_EQ(take_notes(index),
              std::vector<std::string>{path + " line 1 cannot be read: not JSON (a line cut "
                                              "short?); it is ignored"});
}

// This run's own lines count even before (or without) the file.
TEST(DoneIndex, OwnLinesCount)
{
    done_index index;
    const auto answer = [&index] { return decide_skip(index, "A", sha('a'), "firmware", false); };
    note_line(index, line_object("R1", "A", "ok", "15:00:01"));
    EXPECT_TRUE(answer().skip);
    EXPECT_EQ(answer().why, "already done with this image: ok at " + at("15:00:01") +
                                " on 1-1 at station S, "
                                "run R1");
    note_line(index, line_object("R1", "A", "failed", "15:00:02"));
    EXPECT_EQ(answer().why,
              "not skipped: its latest line (this run, ended " + at("15:00:02") + ") is failed");
}

// A record that cannot be read: refused at the start; later, no board is
// skipped on what was read before, and the record says it was not looked up.
TEST(DoneIndex, AnUnreadableRecordSkipsNothing)
{
    scratch_dir dir;
    done_index index;
    std::string error;
    EXPECT_FALSE(open_done_index(index, dir.path(), error));
    EXPECT_EQ(error, "cannot read the record " + dir.path() + ": Is a directory");
    const skip_answer a = decide_skip(index, "A", sha('a'), "firmware", false);
    EXPECT_FALSE(a.skip);
    EXPECT_EQ(a.lookup, "not looked up: the record cannot be read");
}

// --record-db: the database's latest line at any station and the record's,
// the later end deciding; on a tie the record's. An unreadable line of the
// record that names the serial still keeps it from being skipped.
TEST(DoneIndex, TheLaterOfTheDatabasesLineAndTheRecordsDecides)
{
    const auto db_line = [](const std::string &result, const std::string &hms, char image = 'a') {
        line_facts f;
        f.end = at(hms);
        f.result = result;
        f.mode = "firmware";
        f.sha256 = sha(image);
        f.done = {"D1", at(hms), "2-4", "B"};
        return f;
    };
    const struct {
        const char *what;
        std::vector<std::string> record;
        std::optional<line_facts> database;
        bool skip;
        std::string why;
    } cases[] = {
        {"nowhere", {}, std::nullopt, false, ""},
        {"ok at another station only",
         {},
         db_line("ok", "15:00:01"),
         true,
         "already done with this image: ok at " + at("15:00:01") + " on 2-4 at station B, run D1"},
        {"the database's later failure cancels the record's ok",
         {rec("R1", "A", "ok", "15:00:01")},
         db_line("failed", "15:00:02"),
         false,
         "not skipped: its latest line (run D1 at station B, ended " + at("15:00:02") +
             ") is failed"},
        {"the record's later failure cancels the database's ok (not shipped yet)",
         {rec("R1", "A", "failed", "15:00:02")},
         db_line("ok", "15:00:01"),
         false,
         "not skipped: its latest line (run R1, ended " + at("15:00:02") + ") is failed"},
        {"the database's later ok after the record's failure",
         {rec("R1", "A", "failed", "15:00:01")},
         db_line("ok", "15:00:02"),
         true,
         "already done with this image: ok at " + at("15:00:02") + " on 2-4 at station B, run D1"},
        {"on a tie the record's",
         {rec("R1", "A", "failed", "15:00:01")},
         db_line("ok", "15:00:01"),
         false,
         "not skipped: its latest line (run R1, ended " + at("15:00:01") + ") is failed"},
        {"ok at another station for another image",
         {},
         db_line("ok", "15:00:01", 'b'),
         false,
         "not skipped: its latest line (run D1 at station B, ended " + at("15:00:01") +
             ") is ok for another image (SHA-256 bbbbbbbbbbbb...)"},
        {"an unreadable line of the record names it",
         {with("result", 1)},
         db_line("ok", "15:00:01"),
         false,
         "not skipped: RECORD line 1 names serial A and cannot be read"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        const std::string path = dir.file("record.jsonl");
        append(path, record_of(c.record));
        done_index index;
        std::string error;
        ASSERT_TRUE(open_done_index(index, path, error)) << error;
        const skip_answer a =
            decide_skip_with_database(index, "A", sha('a'), "firmware", c.database);
        EXPECT_EQ(a.skip, c.skip);
        EXPECT_EQ(a.lookup, "database");
        std::string why = c.why;
        if (const std::size_t p = why.find("RECORD"); p != std::string::npos)
            why.replace(p, 6, path);
        EXPECT_EQ(a.why, why);
        if (c.skip) {
            EXPECT_EQ(a.done.run, c.database->done.run);
            EXPECT_EQ(a.done.station, "B");
        }
    }
}

} // namespace
