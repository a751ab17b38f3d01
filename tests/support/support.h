// What the test suites share: a scratch directory, files of bytes, an image
// whose every offset is distinguishable, the progress lines, the front end
// run in-process with its output captured, and flasher run under
// flasher-vdev with what each side saw collected.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace support
{

using bytes = std::vector<unsigned char>;

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds.
class scratch_dir
{
  public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    const std::string &path() const
    {
        return path_;
    }
    std::string file(const std::string &name) const
    {
        return path_ + "/" + name;
    }
    // Writes `content` to `name` in the directory and returns its path.
    std::string write(const std::string &name, const bytes &content) const;

  private:
    std::string path_;
};

void write_file(const std::string &path, const bytes &content);

// The whole file, or `missing` when it cannot be opened.
std::string read_text(const std::string &path, const std::string &missing = "(missing)");

// Bytes that differ at every offset of an image, so a misplaced byte shows;
// another seed gives other bytes.
bytes pattern(std::size_t size, unsigned seed = 7);

// One write the front end must make: its bytes and its time-out in ms.
struct wire_write {
    bytes data;
    unsigned int timeout;
};

// What a firmware image must put on the wire, written out from the message
// layouts rather than taken from the front end: the erase (E1, or E2 with
// erase_all, then the first 11 bytes of `header`, zero padded), two zero
// bytes, the whole pages of `pages_from` from offset 11 (E4 hi lo, then 32
// chunks of 64), at most 240, then the trailer (E0 + 16 bytes) when exactly
// 16 bytes follow the last page and fewer than 240 pages went out. `header`
// and `pages_from` differ only for a file that changes after it is measured.
std::vector<wire_write> image_wire(const bytes &header, const bytes &pages_from,
                                   bool erase_all = false);

// The bytes of each write, without the time-outs.
std::vector<bytes> wire_bytes(const std::vector<wire_write> &writes);

// The progress lines "page: N  " of the first `pages` pages.
std::string page_lines(unsigned pages);

std::string repeat(const std::string &text, int times);

// The front end's flasher_main run in-process with these arguments (argv[0]
// is "flasher"), its stdout and stderr captured.
struct captured {
    int status;
    std::string err;
    std::string out;
};
captured run_main(std::vector<std::string> args);

// ---- flasher under flasher-vdev ----

// The faults flasher-vdev plays on one bulk transfer.
enum class fault { stall, timeout, short_taken, gone };

// "stall", "timeout", "short", "gone": the device setting's name.
const char *fault_name(fault f);

// The device setting for a fault at transfer `at` of `length` bytes:
// "stall=N", or "short=N:K", one byte short (a single byte not taken at
// all).
std::string fault_spec(fault f, std::size_t at, std::size_t length);

struct vdev_result {
    int status = -1;     // flasher-vdev's (the command's unless a check failed); 200+N: signal N
    std::string out;     // the command's standard output
    std::string err;     // the command's standard error
    std::string account; // the device account, text or JSON
};

struct vdev_call {
    std::vector<std::string> options{};    // flasher-vdev options before "--", as given
    std::vector<std::string> command{};    // flasher's arguments after the program name
    std::optional<std::string> usb_path{}; // FLASHER_USBPATH for the command; unset when none
    std::vector<std::string> devices{};    // --device specs; none: one default device
    std::string expect_image{};            // --expect-image, when not empty
    std::string expect_params{};           // --expect-params, when not empty
    std::string stdin_file{};              // the command's standard input; /dev/null when empty
    std::vector<std::string> wrapper{};    // runs flasher through this command, when not empty
    std::string program{};                 // the program run in flasher's place, when not empty
    bool json = false;                     // the account as JSON
    bool fast_pauses = true;
};

// Runs `flasher-vdev [--fast-pauses] [--json] --account FILE options devices
// expectations -- wrapper flasher command` in `dir`.
vdev_result run_vdev(const scratch_dir &dir, const vdev_call &call);

// Runs any argv in `dir` with stdout and stderr captured (no account).
vdev_result run_command(const scratch_dir &dir, const std::vector<std::string> &argv);

// A shell fragment for the wrappers tests run a program under: a function
// `flashers_here` that prints the PID of each flasher process still running
// with the test's directory as its own.
extern const char flashers_here_function[];

const std::string &flasher_bin();
const std::string &vdev_bin();
const std::string &probe_bin();

// The integer after the first "key": in a JSON account (-1 when absent).
long json_number(const std::string &json, const std::string &key);

// The integers of the first "key":[...] array.
std::vector<long> json_numbers(const std::string &json, const std::string &key);

// The lines of the check's text (the --expect-* verdict), unescaped.
std::vector<std::string> check_lines(const std::string &json);

} // namespace support
