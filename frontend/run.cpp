// The command line, the input file and the connection: everything that
// happens before the first message goes to the device.
#include "frontend/events.h"
#include "frontend/messages.h"
#include "frontend/pause.h"
#include "frontend/run_request.h"
#include "usb/transport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr int connect_attempts = 4;

void print_usage(const char *program)
{
    std::fprintf(stderr, msg::usage_flash, program);
    std::fprintf(stderr, msg::usage_erase, program);
}

// Size of an open file, or -1 when it cannot be told (a pipe, say): such a
// source is never a parameter file. Measured in 64 bits everywhere: long is
// 32 bits on Windows, and an image of 4 GiB + 256 bytes must not pass for a
// parameter file there.
long long input_size(std::FILE *file)
{
    long long size = -1;
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) == 0)
        size = _ftelli64(file);
    _fseeki64(file, 0, SEEK_SET);
#else
    if (fseeko(file, 0, SEEK_END) == 0)
        size = ftello(file);
    fseeko(file, 0, SEEK_SET);
#endif
    std::clearerr(file);
    return size;
}

// Opens argv[1], decides parameters or firmware and, for firmware, reads the
// image header. A short file leaves the rest of the header zero; a read error
// (a directory, say) counts as a file that cannot be opened.
bool open_input(const char *path, run_request &request)
{
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    // Unbuffered: each page is one read of the file as it is now, and the
    // size probe reads nothing ahead that could hide a later change.
    std::setvbuf(file, nullptr, _IONBF, 0);
    request.input = file;
    request.input_size = input_size(file);
    if (request.input_size == static_cast<long long>(params_size)) {
        request.mode = run_mode::parameters;
        return true;
    }
    request.mode = run_mode::firmware;
    request.header_read = std::fread(request.header.data(), 1, request.header.size(), file);
    return std::ferror(file) == 0;
}

// Up to four attempts, each reading FLASHER_USBPATH afresh and followed,
// when it fails, by a one-second pause.
bool connect(const char *serial)
{
    for (int attempt = 0; attempt < connect_attempts; ++attempt) {
        const bool opened = open_usb(serial, std::getenv("FLASHER_USBPATH"));
        event_attempt(attempt + 1, opened);
        if (opened)
            return true;
        std::fputs(msg::usb_trying_again, stderr);
        flasher_pause(reconnect_pause_s);
    }
    std::fputs(msg::usb_giving_up, stderr);
    return false;
}

} // namespace

// argv[2] may be "all"; the next argument, if any, is the serial. Later
// arguments are ignored.
void parse_selectors(int argc, char **argv, run_request &request)
{
    int index = 2;
    if (argc > index && std::strcmp(argv[index], "all") == 0) {
        request.erase_all = true;
        ++index;
    }
    if (argc > index)
        request.serial = argv[index];
}

int prepare_run(int argc, char **argv, run_request &request)
{
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        print_usage(argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "flasher");
        return 1;
    }
    if (std::strcmp(argv[1], "erase") != 0 && !open_input(argv[1], request)) {
        std::fprintf(stderr, msg::cannot_open_firmware, argv[1]);
        return 1;
    }
    parse_selectors(argc, argv, request);
    return -1;
}

int perform_run(const run_request &request)
{
    if (!connect(request.serial))
        return 1;
    if (request.mode == run_mode::parameters)
        return upload_params(request);
    return erase_and_program(request);
}

int flasher_main(int argc, char **argv)
{
    run_request request;
    if (const int status = prepare_run(argc, argv, request); status >= 0)
        return status;
    return perform_run(request);
}
