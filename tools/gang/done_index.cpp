#include "tools/gang/done_index.h"

#include "tools/gang/record_read.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// A record full of garbage names its first lines, then counts the rest.
constexpr unsigned lines_named = 20;

// The results of a board a flasher ran for: what it holds may have changed.
bool changes_the_board(const std::string &result)
{
    return result == "ok" || result == "failed" || result == "interrupted";
}

void take_facts(done_index &index, const line_facts &f, unsigned line)
{
    ++index.seq;
    if (f.serial.empty() || !changes_the_board(f.result))
        return;
    board_facts &b = index.boards[f.serial];
    if (b.decided && f.end < b.end)
        return; // an older line, read late (another gang's clock, a rotated file)
    b.decided = true;
    b.seq = index.seq;
    b.line = line;
    b.end = f.end;
    b.result = f.result;
    b.mode = f.mode;
    b.sha256 = f.sha256;
    b.done = f.done;
}

void take_unreadable(done_index &index, const std::string &why, const std::string &serial)
{
    ++index.seq;
    ++index.unreadable;
    if (!serial.empty()) {
        board_facts &b = index.boards[serial];
        b.unreadable_seq = index.seq;
        b.unreadable_line = index.lines;
    }
    if (index.unreadable <= lines_named)
        index.notes.push_back(index.path + " line " + std::to_string(index.lines) +
                              " cannot be read: " + why + "; it is ignored");
    else if (index.unreadable == lines_named + 1)
        index.notes.push_back("more lines of " + index.path +
                              " cannot be read; they are counted and ignored");
}

void take_text_line(done_index &index, std::string_view text)
{
    ++index.lines;
    line_facts f;
    std::string why, named;
    if (read_record_line(text, f, why, named))
        take_facts(index, f, index.lines);
    else
        take_unreadable(index, why, named);
}

void take_whole_lines(done_index &index)
{
    std::size_t from = 0;
    for (std::size_t eol; (eol = index.partial.find('\n', from)) != std::string::npos;
         from = eol + 1)
        take_text_line(index, std::string_view(index.partial).substr(from, eol - from));
    index.partial.erase(0, from);
}

void cannot_read(done_index &index, int err)
{
    const std::string why = std::strerror(err);
    if (why != index.read_error)
        index.notes.push_back("cannot read the record " + index.path + ": " + why);
    index.read_error = why;
}

// Reads from the index's offset to the end of the open record.
void read_tail(done_index &index, int fd)
{
    struct stat st {
    };
    if (fstat(fd, &st) != 0) {
        cannot_read(index, errno);
        return;
    }
    if (st.st_dev != index.dev || st.st_ino != index.ino || st.st_size < index.offset) {
        // Another file by that name now, or this one cut shorter: from its start.
        index.dev = st.st_dev;
        index.ino = st.st_ino;
        index.offset = 0;
        index.lines = 0;
        index.partial.clear();
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, index.offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            cannot_read(index, errno);
            return;
        }
        if (n == 0)
            break;
        index.offset += n;
        index.partial.append(buffer, static_cast<std::size_t>(n));
        take_whole_lines(index);
    }
    index.read_error.clear();
}

std::string latest_text(const board_facts &b)
{
    std::string which = b.line > 0 ? "run " + b.done.run : "this run";
    if (b.database)
        which =
            "run " + b.done.run + (b.done.station.empty() ? "" : " at station " + b.done.station);
    return "its latest line (" + which + ", ended " + b.end + ")";
}

// Why the deciding line does not make the board done, or empty when it does.
std::string not_done_because(const board_facts &b, const std::string &sha256,
                             const std::string &mode)
{
    if (b.result != "ok")
        return latest_text(b) + " is " + b.result;
    if (b.mode != mode)
        return latest_text(b) + " is an ok " + b.mode + (b.mode == "erase" ? "" : " run");
    if (b.sha256 != sha256)
        return latest_text(b) + " is ok for another image (SHA-256 " + b.sha256.substr(0, 12) +
               "...)";
    return "";
}

skip_answer not_looked_up(const char *lookup, std::string why)
{
    return {false, {}, std::string("not looked up: ") + lookup, "not skipped: " + std::move(why)};
}

// What the deciding line `b` of a serial comes to.
skip_answer decided_by(const done_index &index, const std::string &serial, const board_facts &b,
                       const std::string &sha256, const std::string &mode, const char *lookup)
{
    skip_answer answer{false, {}, lookup, ""};
    if (b.unreadable_seq > b.seq) {
        answer.why = "not skipped: " + index.path + " line " + std::to_string(b.unreadable_line) +
                     " names serial " + serial + " and cannot be read";
        return answer;
    }
    if (const std::string why = not_done_because(b, sha256, mode); !why.empty()) {
        answer.why = "not skipped: " + why;
        return answer;
    }
    answer.skip = true;
    answer.done = b.done;
    answer.why = "already done with this image: ok at " + b.end + " on " + b.done.usb_path +
                 (b.done.station.empty() ? "" : " at station " + b.done.station) + ", run " +
                 b.done.run;
    return answer;
}

} // namespace

bool open_done_index(done_index &index, const std::string &path, std::string &error)
{
    index.path = path;
    follow_record(index);
    if (index.read_error.empty())
        return true;
    error = "cannot read the record " + path + ": " + index.read_error;
    return false;
}

void follow_record(done_index &index)
{
    if (index.path.empty())
        return;
    // O_NONBLOCK: a FIFO put there since the start must not hold the station.
    const int fd = open(index.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) {
        index.read_error.clear(); // no record (yet): nothing is done
        return;
    }
    if (fd < 0) {
        cannot_read(index, errno);
        return;
    }
    read_tail(index, fd);
    close(fd);
}

void note_line(done_index &index, const nlohmann::ordered_json &line)
{
    line_facts f;
    std::string why;
    if (read_record_object(line, f, why))
        take_facts(index, f, 0);
}

std::vector<std::string> take_notes(done_index &index)
{
    std::vector<std::string> notes;
    notes.swap(index.notes);
    return notes;
}

skip_answer decide_skip(done_index &index, const std::string &serial, const std::string &sha256,
                        const std::string &mode, bool serial_shared)
{
    if (serial.empty())
        return not_looked_up("the serial is empty",
                             "the board has no serial, so the record cannot tell it from another");
    if (serial_shared)
        return not_looked_up("the serial is shared", "serial " + serial +
                                                         " is shared by another board here, so the "
                                                         "record cannot tell them apart");
    if (!index.read_error.empty())
        return not_looked_up("the record cannot be read",
                             "the record " + index.path + " cannot be read: " + index.read_error);
    const auto found = index.boards.find(serial);
    if (found == index.boards.end())
        return {false, {}, "record", ""}; // never recorded here: nothing worth saying
    return decided_by(index, serial, found->second, sha256, mode, "record");
}

skip_answer decide_skip_with_database(done_index &index, const std::string &serial,
                                      const std::string &sha256, const std::string &mode,
                                      const std::optional<line_facts> &database_latest)
{
    const auto found = index.boards.find(serial);
    board_facts b = found != index.boards.end() ? found->second : board_facts{};
    // The database's line decides when it is later; an unreadable line of
    // the record that names the serial still keeps it from being skipped.
    if (database_latest && (!b.decided || database_latest->end > b.end)) {
        b.decided = true;
        b.database = true;
        b.end = database_latest->end;
        b.result = database_latest->result;
        b.mode = database_latest->mode;
        b.sha256 = database_latest->sha256;
        b.done = database_latest->done;
    }
    if (!b.decided && b.unreadable_seq == 0)
        return {false, {}, "database", ""}; // never recorded anywhere
    return decided_by(index, serial, b, sha256, mode, "database");
}
