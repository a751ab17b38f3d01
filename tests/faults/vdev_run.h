// Runs the real flasher against a virtual device (flasher-vdev) and collects
// what each side saw: the program's exit status and output, and the device's
// account as JSON.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct vdev_result {
    int status = -1;     // flasher-vdev's exit status (the command's unless a check failed)
    std::string out;     // the command's standard output
    std::string err;     // the command's standard error
    std::string account; // the JSON account
};

struct vdev_call {
    std::vector<std::string> devices;    // --device specs; none: one default device
    std::vector<std::string> command;    // arguments after the program name
    std::string expect_image;            // --expect-image, when not empty
    std::string expect_params;           // --expect-params, when not empty
    std::optional<std::string> usb_path; // FLASHER_USBPATH for the command
    std::string stdin_file;              // the command's standard input, when not empty
    std::vector<std::string> wrapper;    // runs flasher through this command, when not empty
};

// Runs `flasher-vdev --fast-pauses --json ... -- flasher <command>`.
vdev_result run_vdev(const vdev_call &call);

// The integer after the first "key": in the account (-1 when absent).
long json_number(const std::string &json, const std::string &key);

// The integers of the first "key":[...] array.
std::vector<long> json_numbers(const std::string &json, const std::string &key);

// The lines of the check's text (the --expect-* verdict), unescaped.
std::vector<std::string> check_lines(const std::string &json);

// A fresh directory under /tmp, removed by the destructor.
struct scratch_dir {
    std::string path;
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    std::string file(const std::string &name, const std::vector<unsigned char> &content) const;
};

// Bytes that differ at every offset of an image (so a misplaced byte shows).
std::vector<unsigned char> pattern(std::size_t size);
