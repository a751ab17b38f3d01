#include "frontend/events.h"

#include "frontend/protocol.h"

#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace
{

int events_fd = -1;

// One line, one write: a reader on a pipe gets it whole or not at all. A
// reader that went away costs the lines, never the run (SIGPIPE is ignored).
void emit(const char *line, int length)
{
#ifndef _WIN32
    if (events_fd < 0 || length <= 0)
        return;
    if (length >= event_line_size)
        length = event_line_size - 1;
    while (write(events_fd, line, static_cast<std::size_t>(length)) < 0 && errno == EINTR) {
    }
#else
    (void)line;
    (void)length;
#endif
}

// Appends `text` as lower-case hex at `out`, within `room` bytes (the
// terminator included); returns the characters written.
int append_hex(char *out, int room, const char *text)
{
    static const char digits[] = "0123456789abcdef";
    int written = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
         *p != 0 && written + 2 < room; ++p) {
        out[written++] = digits[*p >> 4];
        out[written++] = digits[*p & 0x0F];
    }
    out[written] = '\0';
    return written;
}

#ifndef _WIN32
// A plain decimal number, no sign, no spaces, within an int.
bool parse_descriptor(const char *text, int &fd)
{
    if (text == nullptr || *text == '\0' || std::strlen(text) > 9)
        return false;
    long value = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + (*p - '0');
    }
    fd = static_cast<int>(value);
    return true;
}
#endif

} // namespace

void events_start(int fd)
{
    events_fd = fd;
    char line[event_line_size];
    emit(line, std::snprintf(line, sizeof line, "start version=%d\n", events_version));
}

void events_start_from_environment()
{
#ifndef _WIN32
    int fd = -1;
    if (parse_descriptor(std::getenv("FLASHER_EVENTS_FD"), fd) && fcntl(fd, F_GETFD) != -1)
        events_start(fd);
#endif
}

void event_attempt(int number, bool opened)
{
    if (events_fd < 0)
        return;
    char line[event_line_size];
    emit(line,
         std::snprintf(line, sizeof line, "attempt n=%d opened=%d\n", number, opened ? 1 : 0));
}

void event_opened(const char *usb_path, const char *serial)
{
    if (events_fd < 0)
        return;
    char line[event_line_size];
    int length = std::snprintf(line, sizeof line,
                               "opened path=%s serial=", usb_path != nullptr ? usb_path : "-");
    if (length < 0 || length >= event_line_size - 2)
        return;
    if (serial == nullptr)
        line[length++] = '-';
    else
        length += append_hex(line + length, event_line_size - 1 - length, serial);
    line[length++] = '\n';
    emit(line, length);
}

void event_begin(const char *what)
{
    if (events_fd < 0)
        return;
    char line[event_line_size];
    emit(line, std::snprintf(line, sizeof line, "begin what=%s\n", what));
}

void event_message(const char *kind, int asked, int took)
{
    if (events_fd < 0)
        return;
    char line[event_line_size];
    emit(line, std::snprintf(line, sizeof line, "%s asked=%d took=%d\n", kind, asked, took));
}

void event_zero_byte(int number, int took)
{
    if (events_fd < 0)
        return;
    char line[event_line_size];
    emit(line, std::snprintf(line, sizeof line, "zero n=%d asked=1 took=%d\n", number, took));
}

void event_page(unsigned number, int header_took, int chunks_whole, int failed_chunk_took)
{
    if (events_fd < 0)
        return;
    char line[event_line_size];
    if (header_took == static_cast<int>(page_header_size) &&
        chunks_whole < static_cast<int>(chunks_per_page))
        emit(line, std::snprintf(line, sizeof line, "page n=%u header=%d chunks=%d took=%d\n",
                                 number, header_took, chunks_whole, failed_chunk_took));
    else
        emit(line, std::snprintf(line, sizeof line, "page n=%u header=%d chunks=%d\n", number,
                                 header_took, chunks_whole));
}

void event_end(int status)
{
    if (events_fd < 0)
        return;
    char line[event_line_size];
    emit(line, std::snprintf(line, sizeof line, "end status=%d\n", status));
}
