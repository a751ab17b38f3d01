// Runs flasher under flasher-vdev in a fresh directory and collects what
// came out: exit status, flasher's stdout and stderr, and the account.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace e2e
{

struct outcome {
    int status = -1;
    std::string out;
    std::string err;
    std::string account;
};

// A temporary directory of its own per test, removed at the end.
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
    void write(const std::string &name, const std::vector<unsigned char> &bytes) const;

  private:
    std::string path_;
};

struct invocation {
    invocation(std::vector<std::string> vdev, std::vector<std::string> args)
        : vdev_args(std::move(vdev)), flasher_args(std::move(args))
    {
    }
    invocation(std::vector<std::string> vdev, std::vector<std::string> args, bool set,
               std::string path)
        : vdev_args(std::move(vdev)), flasher_args(std::move(args)), set_usbpath(set),
          usbpath(std::move(path))
    {
    }
    std::vector<std::string> vdev_args;    // before "--"; --account is added
    std::vector<std::string> flasher_args; // after the program name
    bool set_usbpath = false;
    std::string usbpath; // FLASHER_USBPATH when set_usbpath
    bool fast_pauses = true;
};

// Runs `flasher-vdev [--fast-pauses] --account ACCOUNT vdev_args -- flasher
// flasher_args` in dir.
outcome run(const scratch_dir &dir, const invocation &inv);

// Runs any argv with stdout and stderr captured, in dir.
outcome run_raw(const scratch_dir &dir, const std::vector<std::string> &argv);

std::string read_text(const std::string &path);

// An image whose bytes are easy to name in expected output: header 01..0B,
// page p byte k = (p * 7 + k) & 0xFF, then `tail` bytes A0, A1, ...
std::vector<unsigned char> make_image(unsigned pages, std::size_t tail);

} // namespace e2e
