// The record writer on real files: a cut last line is ended, anything but a
// regular file is refused, each line is one write per file, and a short
// write (a file size limit, a full filesystem) is taken back and the line
// kept, in order, until it can be written.
#include "in_child.h"
#include "support.h"
#include "tools/gang/record_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#ifdef __linux__
#include <sys/mount.h>
#endif
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace support;
using json = nlohmann::json;

namespace
{

void put(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A record line of `size` bytes, newline included.
std::string line_of(std::size_t size, char fill)
{
    return std::string(size - 1, fill) + "\n";
}

// Texts of thousands of bytes: equal, or where they part.
testing::AssertionResult same_text(const std::string &got, const std::string &want)
{
    if (got == want)
        return testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        ++at;
    return testing::AssertionFailure()
           << got.size() << " bytes, not " << want.size() << "; they part at byte " << at;
}

// The writer's state, as the child reports it.
json state_of(const record_writer &w, bool returned)
{
    return {{"returned", returned},
            {"healthy", w.healthy()},
            {"pending", w.pending()},
            {"error", w.error()}};
}

// A tmpfs of 4 pages mounted under a test's directory, 3 pages taken by a
// filler: a file there may grow by less than a page more. Unmounted when
// it goes.
class small_filesystem
{
  public:
    explicit small_filesystem(const std::string &where) : path_(where)
    {
        mkdir(path_.c_str(), 0755);
#ifdef __linux__
        if (mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=16k") != 0) {
            why_ = std::string("cannot mount a tmpfs (it needs root): ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
        put(filler(), std::string(std::size_t{3} * 4096, 'f'));
#else
        why_ = "a small tmpfs is mounted on Linux only";
#endif
    }
    ~small_filesystem()
    {
#ifdef __linux__
        if (mounted_)
            umount2(path_.c_str(), MNT_DETACH);
#endif
    }
    small_filesystem(const small_filesystem &) = delete;
    small_filesystem &operator=(const small_filesystem &) = delete;
    const std::string &why_not() const
    {
        return why_;
    }
    std::string filler() const
    {
        return path_ + "/filler";
    }

  private:
    std::string path_, why_;
    bool mounted_ = false;
};

TEST(RecordWriter, RefusesAnythingButARegularFile)
{
    scratch_dir dir;
    mkfifo(dir.file("fifo").c_str(), 0644);
    mkdir(dir.file("dir").c_str(), 0755);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.file("sock").c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(symlink("/dev/null", dir.file("null-link").c_str()), 0);
    struct refusal_case {
        std::string path;
        const char *kind; // empty: taken
    } cases[] = {
        {"/dev/null", "a character device"},
        {dir.file("null-link"), "a character device"},
        {dir.file("fifo"), "a pipe or FIFO"},
        {dir.file("dir"), "a directory"},
        {dir.file("sock"), "a socket"},
        {dir.write("regular", {}), ""},
        {dir.file("missing"), ""},
    };
    for (const refusal_case &c : cases) {
        SCOPED_TRACE(c.path);
        record_writer w;
        std::string error;
        const bool taken = std::string(c.kind).empty();
        // A FIFO must be refused at once, not wait for a reader.
        EXPECT_EQ(w.open(c.path, error), taken) << error;
        EXPECT_EQ(error, taken ? ""
                               : "cannot use " + c.path + " as a record: it is " + c.kind +
                                     (c.path == "/dev/null" || c.path == dir.file("null-link")
                                          ? " (such as /dev/null or a terminal)"
                                          : "") +
                                     ", not a regular file");
        EXPECT_EQ(record_path_refusal(c.path).empty(), taken);
    }
    close(sock);
}

// A record whose last line was cut (no newline) gets its newline before
// the first new line; one ending in a newline, or a new one, is unchanged.
TEST(RecordWriter, EndsACutLastLineFirst)
{
    struct cut_case {
        const char *what;
        std::optional<std::string> before; // nullopt: no file yet
        std::string after_open;
    } cases[] = {
        {"no file yet", std::nullopt, ""},
        {"an empty file", "", ""},
        {"whole lines", "{\"a\":1}\n", "{\"a\":1}\n"},
        {"a cut line", "{\"a\":1}\n{\"sch", "{\"a\":1}\n{\"sch\n"},
    };
    for (const cut_case &c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        const std::string path = dir.file("record.jsonl");
        if (c.before)
            put(path, *c.before);
        record_writer w;
        std::string error;
        ASSERT_TRUE(w.open(path, error)) << error;
        EXPECT_EQ(read_text(path), c.after_open);
        EXPECT_TRUE(w.write("{\"new\":2}\n"));
        EXPECT_EQ(read_text(path), c.after_open + "{\"new\":2}\n");
    }
}

// Each line reaches each file in one write: a line in two pieces could be
// split by another gang's line, or cut between them. (/proc/self/io counts
// this process's write calls.)
TEST(RecordWriter, EachLineIsOneWritePerFile)
{
    if (read_text("/proc/self/io", "").empty())
        GTEST_SKIP() << "/proc/self/io is missing: this kernel keeps no count of write calls";
    const auto writes_so_far = [] {
        const std::string io = read_text("/proc/self/io");
        return std::stol(io.substr(io.find("syscw: ") + 7));
    };
    scratch_dir dir;
    record_writer w;
    std::string error;
    ASSERT_TRUE(w.open(dir.file("own.jsonl"), error)) << error;
    ASSERT_TRUE(w.open(dir.file("shared.jsonl"), error)) << error;
    std::string expected;
    for (const std::size_t size : {1u, 600u, 70000u}) {
        SCOPED_TRACE(size);
        const std::string line = line_of(size, 'L');
        const long before = writes_so_far();
        EXPECT_TRUE(w.write(line));
        EXPECT_EQ(writes_so_far() - before, 2);
        expected += line;
    }
    EXPECT_TRUE(same_text(read_text(dir.file("own.jsonl")), expected));
    EXPECT_TRUE(same_text(read_text(dir.file("shared.jsonl")), expected));
}

// Less room than a line: the line is written in part, taken back at once,
// the error names the file and the reason, and the line waits; a second
// line waits behind it. Once there is room, both are written, in order.
TEST(RecordWriter, ShortWriteIsTakenBackAndTheLineKept)
{
    struct scarce_case {
        const char *what;
        bool small_filesystem;
        const char *reason;
    } cases[] = {
        {"a file size limit", false, "File too large"},
        {"a full filesystem", true, "No space left on device"},
    };
    // 3900 bytes and a newline: 195 bytes short of a page, and of the limit.
    const std::string before(3900, 'c');
    const std::string first = line_of(600, '1'), second = line_of(600, '2');
    const std::string ended = before + "\n";
    std::string all = ended;
    all += first;
    all += second;
    for (const scarce_case &c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        std::optional<small_filesystem> small;
        std::string path = dir.file("record.jsonl");
        if (c.small_filesystem) {
            small.emplace(dir.file("small"));
            if (!small->why_not().empty())
                GTEST_SKIP() << small->why_not();
            path = dir.file("small/record.jsonl");
        }
        put(path, before);
        const std::string filler = small ? small->filler() : "";
        const json r = in_child([&] {
            record_writer w;
            std::string error;
            json report{{"open", w.open(path, error)}};
            if (filler.empty())
                limit_file_size(before.size() + 1 + 195);
            report["first"] = state_of(w, w.write(first));
            report["after_first"] = read_text(path);
            report["second"] = state_of(w, w.write(second));
            if (filler.empty())
                lift_file_size_limit();
            else
                unlink(filler.c_str());
            report["flush"] = state_of(w, w.flush());
            return report;
        });
        ASSERT_FALSE(r.is_discarded());
        EXPECT_EQ(r["open"], true);
        EXPECT_EQ(r["first"]["returned"], false);
        EXPECT_EQ(r["first"]["healthy"], false);
        EXPECT_EQ(r["first"]["pending"], 1);
        EXPECT_EQ(r["first"]["error"], "cannot write the record " + path + ": " + c.reason +
                                           " (195 of 600 bytes of the line were written)");
        EXPECT_TRUE(same_text(r["after_first"], ended));
        EXPECT_EQ(r["second"]["returned"], false);
        EXPECT_EQ(r["second"]["pending"], 2);
        EXPECT_EQ(r["flush"], state_of(record_writer(), true));
        EXPECT_TRUE(same_text(read_text(path), all));
    }
}

// A line one file could not take waits for that file alone: the file that
// took it does not get it twice.
TEST(RecordWriter, PendingLinesWaitOnlyForTheFileThatLacksThem)
{
    scratch_dir dir;
    const std::string big = dir.file("big.jsonl"), fresh = dir.file("fresh.jsonl");
    const std::string earlier = line_of(5000, 'e'), line = line_of(600, 'n');
    put(big, earlier);
    const json r = in_child([&] {
        record_writer w;
        std::string error;
        json report{{"open", w.open(big, error) && w.open(fresh, error)}};
        limit_file_size(earlier.size() + 10);
        report["write"] = state_of(w, w.write(line));
        lift_file_size_limit();
        report["flush"] = state_of(w, w.flush());
        return report;
    });
    ASSERT_FALSE(r.is_discarded());
    EXPECT_EQ(r["open"], true);
    EXPECT_EQ(r["write"]["returned"], false);
    EXPECT_EQ(r["write"]["pending"], 1);
    EXPECT_EQ(r["write"]["error"].get<std::string>().rfind("cannot write the record " + big, 0),
              0u);
    EXPECT_EQ(r["flush"]["healthy"], true);
    EXPECT_TRUE(same_text(read_text(big), earlier + line));
    EXPECT_TRUE(same_text(read_text(fresh), line));
}

// What a writer that could not write gives back at the end: each file's
// missing lines, in order.
TEST(RecordWriter, NamesTheLinesStillMissing)
{
    scratch_dir dir;
    const std::string path = dir.file("record.jsonl");
    const json r = in_child([&] {
        record_writer w;
        std::string error;
        w.open(path, error);
        limit_file_size(0);
        w.write("{\"a\":1}\n");
        w.write("{\"b\":2}\n");
        json report = json::array();
        for (const record_writer::unwritten_lines &u : w.unwritten())
            report.push_back({{"path", u.path}, {"lines", u.lines}});
        return report;
    });
    EXPECT_EQ(r,
              json::parse(R"([{"path":")" + path + R"(","lines":["{\"a\":1}\n","{\"b\":2}\n"]}])"));
}

} // namespace
