// flasher-gang's command line: what it takes, what it refuses and how it
// says so; the input's snapshot and --sha256; a refused run's directory.
#include "in_child.h"
#include "support.h"
#include "tools/gang/options.h"
#include "tools/gang/run_dir.h"
#include "tools/gang/snapshot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace support;

namespace
{

const std::string sha_upper = "72A76D74C26845244E8DB7040F41CC2AC1B70DB522F2805CB3F83C6D9DA871DF";
const std::string sha_lower = "72a76d74c26845244e8db7040f41cc2ac1b70db522f2805cb3f83c6d9da871df";

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

TEST(GangOptions, RefusesBadCommandLines)
{
    scratch_dir dir;
    mkfifo(dir.file("fifo").c_str(), 0644);
    struct bad_case {
        std::vector<std::string> args;
        std::string message; // the first line; the usage follows
    } cases[] = {
        {{}, "no input given"},
        {{"--logs"}, "--logs needs a value, DIR"},
        {{"--logs", "--json", "img"}, "--logs needs a value, DIR (--json is an option)"},
        {{"--record", "", "img"}, "--record needs a value, FILE"},
        {{"--station", "--quiet", "img"}, "--station needs a value, NAME (--quiet is an option)"},
        {{"--record", "-x", "img"},
         "--record -x: a value may not start with \"-\" (for a name that does, write ./-x)"},
        {{"--station", "-x", "img"}, "--station -x: a value may not start with \"-\""},
        {{"--record", "a", "--record", "b", "img"}, "--record is given twice"},
        {{"--sha256", "abc", "img"}, "--sha256 needs the 64 hexadecimal digits of a SHA-256"},
        {{"--sha256", std::string(64, 'g'), "img"},
         "--sha256 needs the 64 hexadecimal digits of a SHA-256"},
        {{"--sha256", sha_lower + "0", "img"},
         "--sha256 needs the 64 hexadecimal digits of a SHA-256"},
        {{"--sha256", sha_lower, "erase"}, "--sha256 checks an input file; erase has none"},
        {{"--station", "line\t3", "img"}, "--station NAME may not hold control characters"},
        {{"--skip-done", "img"}, "--skip-done needs --record FILE and an image or parameter file"},
        {{"--skip-done", "--record", "r", "erase"},
         "--skip-done needs --record FILE and an image or parameter file"},
        {{"--watch", "--skip-unusable", "img"},
         "--skip-unusable does not go with --watch: a station records each unusable board as "
         "not flashed and tries it again on its next plug-in"},
        {{"--record", "/dev/null", "img"},
         "--record /dev/null: it is a character device (such as /dev/null or a terminal), not a "
         "regular file; the record must be a regular file"},
        {{"--record", dir.path(), "img"},
         "--record " + dir.path() +
             ": it is a directory, not a regular file; the record must be a regular file"},
        {{"--record", dir.file("fifo"), "img"},
         "--record " + dir.file("fifo") +
             ": it is a pipe or FIFO, not a regular file; the record must be a regular file"},
        {{"--record-db", "dbname=line", "img"},
#ifdef FLASHER_GANG_RECORD_DB
         "--record-db needs --record FILE: its lines wait there, and its cursor beside it, while "
         "the database is away"},
#else
         "--record-db: this flasher-gang was built without PostgreSQL's client library (libpq), "
         "so it cannot keep the record in a database"},
#endif
        {{"--record-db", "--record", "r", "img"},
         "--record-db needs a value, CONNINFO (--record is an option)"},
        {{"-x", "img"}, "unknown option -x"},
        {{"--bogus", "img"}, "unknown option --bogus"},
        {{"img", "SN01"},
         "only \"all\" may follow the input: every device is flashed, so no serial; got SN01"},
        {{"img", "all", "SN01"},
         "only \"all\" may follow the input: every device is flashed, so no serial; got SN01"},
    };
    for (const bad_case &c : cases) {
        std::vector<std::string> args{"flasher-gang"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.message);
        gang_options opt;
        const parsed_command parsed = parse_gang_command(args, opt);
        EXPECT_EQ(parsed.status, gang_usage);
        EXPECT_EQ(first_line(parsed.text), "flasher-gang: " + c.message);
        EXPECT_EQ(parsed.text.find("\nUsage: flasher-gang "),
                  c.message.empty() ? 0 : first_line(parsed.text).size());
    }
}

TEST(GangOptions, TakesGoodCommandLines)
{
    struct good_case {
        std::vector<std::string> args;
        std::string input, record, station, sha256, logs;
        bool erase_all, skip_done, watch;
    } cases[] = {
        {{"img.bin"}, "img.bin", "", "", "", "flasher-gang-logs", false, false, false},
        {{"-"}, "-", "", "", "", "flasher-gang-logs", false, false, false},
        {{"--", "-x"}, "-x", "", "", "", "flasher-gang-logs", false, false, false},
        {{"--record", "./-x", "img"},
         "img",
         "./-x",
         "",
         "",
         "flasher-gang-logs",
         false,
         false,
         false},
        {{"--sha256", sha_upper, "-"},
         "-",
         "",
         "",
         sha_lower,
         "flasher-gang-logs",
         false,
         false,
         false},
        {{"--watch", "--skip-done", "--record", "r.jsonl", "--station", "line-3", "--logs", "l",
          "img", "all"},
         "img",
         "r.jsonl",
         "line-3",
         "",
         "l",
         true,
         true,
         true},
        {{"erase", "all"}, "erase", "", "", "", "flasher-gang-logs", true, false, false},
#ifdef FLASHER_GANG_RECORD_DB
        {{"--record-db", "service=line", "--record", "r.jsonl", "img"},
         "img",
         "r.jsonl",
         "",
         "",
         "flasher-gang-logs",
         false,
         false,
         false},
#endif
    };
    for (const good_case &c : cases) {
        std::vector<std::string> args{"flasher-gang"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.input);
        gang_options opt;
        const parsed_command parsed = parse_gang_command(args, opt);
        EXPECT_EQ(parsed.status, -1) << parsed.text;
        EXPECT_EQ(parsed.text, "");
        EXPECT_EQ(opt.input, c.input);
        EXPECT_EQ(opt.record, c.record);
        EXPECT_EQ(opt.station, c.station);
        EXPECT_EQ(opt.sha256, c.sha256);
        EXPECT_EQ(opt.logs, c.logs);
        EXPECT_EQ(opt.erase_all, c.erase_all);
        EXPECT_EQ(opt.skip_done, c.skip_done);
        EXPECT_EQ(opt.watch, c.watch);
    }
}

TEST(GangOptions, HelpGoesToStandardOutput)
{
    gang_options opt;
    const parsed_command parsed = parse_gang_command({"flasher-gang", "--help", "img"}, opt);
    EXPECT_EQ(parsed.status, gang_all_ok);
    EXPECT_EQ(parsed.text.rfind("Usage: flasher-gang ", 0), 0u);
}

// The snapshot's hash against --sha256: the same bytes pass, any other
// (a cut download) are refused, naming both hashes.
TEST(GangSnapshot, Sha256DecidesWhetherTheInputIsTaken)
{
    scratch_dir dir;
    const bytes whole = pattern(6171);
    const std::string image = dir.write("img.bin", whole);
    const std::string cut = dir.write("cut.bin", bytes(whole.begin(), whole.begin() + 4107));
    snapshot whole_snap, cut_snap;
    std::string error;
    ASSERT_TRUE(take_snapshot(image, dir.file("a.bin"), whole_snap, error, [] { return false; }));
    ASSERT_TRUE(take_snapshot(cut, dir.file("b.bin"), cut_snap, error, [] { return false; }));
    const std::string expected = whole_snap.sha256;
    struct sha_case {
        const snapshot &snap;
        std::string given, refusal;
    } cases[] = {
        {whole_snap, "", ""},
        {whole_snap, expected, ""},
        {cut_snap, "", ""},
        {cut_snap, expected,
         "the SHA-256 of cut.bin (4107 bytes) is " + cut_snap.sha256 + ", not " + expected +
             " as --sha256 asks: a different or incomplete input; no device was touched"},
    };
    for (const sha_case &c : cases) {
        SCOPED_TRACE(c.refusal);
        EXPECT_EQ(sha256_refusal(c.snap, "cut.bin", c.given), c.refusal);
    }
}

// The snapshot cannot be written (a full disk under --logs): the message
// names the snapshot and the reason, not the input.
TEST(GangSnapshot, AFailedCopyNamesTheFileThatCouldNotBeWritten)
{
    scratch_dir dir;
    const std::string image = dir.write("img.bin", pattern(6171));
    const nlohmann::json r = in_child([&] {
        limit_file_size(1000);
        snapshot snap;
        std::string error;
        const bool taken =
            take_snapshot(image, dir.file("input.bin"), snap, error, [] { return false; });
        return nlohmann::json{{"taken", taken}, {"error", error}};
    });
    EXPECT_EQ(r, (nlohmann::json{{"taken", false},
                                 {"error", "cannot write the snapshot " + dir.file("input.bin") +
                                               ": File too large"}}));
    EXPECT_FALSE(std::filesystem::exists(dir.file("input.bin")));
}

// A refused run takes back its directory and the ones made for it, and
// leaves a directory that was there before.
TEST(GangRunDir, ARefusedRunLeavesNoDirectory)
{
    struct dir_case {
        const char *what;
        std::string logs; // under the scratch directory
        bool exists_before;
    } cases[] = {
        {"logs made for the run", "a/b/logs", false},
        {"logs there before", "logs", true},
    };
    for (const dir_case &c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        const std::string logs = dir.file(c.logs);
        if (c.exists_before)
            std::filesystem::create_directories(logs);
        std::string run, error;
        std::vector<std::string> made;
        ASSERT_TRUE(make_run_dir(logs, "RUN-1", run, made, error)) << error;
        EXPECT_EQ(run, logs + "/RUN-1");
        support::write_file(run + "/input.bin", pattern(10));
        remove_run_dir(run, made);
        EXPECT_FALSE(std::filesystem::exists(run));
        EXPECT_EQ(std::filesystem::exists(logs), c.exists_before);
        EXPECT_TRUE(std::filesystem::exists(dir.path()));
    }
}

} // namespace
