// Preloaded into the command that flasher-vdev runs. It reports every sleep()
// to flasher-vdev, which records the pause and answers whether to sleep for
// real or return at once, and it reports the command's exit, so that devices
// closed before it can be told from devices left open until exit.
//
// FLASHER_VDEV_CONTROL holds "W,R": the file descriptors to write reports to
// and to read answers from.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace
{

int report_fd = -1;
int answer_fd = -1;

bool channel_open()
{
    static bool parsed = false;
    if (!parsed) {
        parsed = true;
        const char *text = std::getenv("FLASHER_VDEV_CONTROL");
        if (text != nullptr) {
            char *end = nullptr;
            long w = std::strtol(text, &end, 10);
            if (end != nullptr && *end == ',') {
                long r = std::strtol(end + 1, &end, 10);
                if (*end == '\0' && w >= 0 && r >= 0) {
                    report_fd = static_cast<int>(w);
                    answer_fd = static_cast<int>(r);
                }
            }
        }
    }
    return report_fd >= 0;
}

// Sends a 5-byte report and waits for the one-byte answer.
char ask(char kind, std::uint32_t value)
{
    unsigned char msg[5] = {static_cast<unsigned char>(kind)};
    std::memcpy(msg + 1, &value, sizeof value);
    if (write(report_fd, msg, sizeof msg) != static_cast<ssize_t>(sizeof msg))
        return 'R';
    char answer = 'R';
    if (read(answer_fd, &answer, 1) != 1)
        return 'R';
    return answer;
}

unsigned int real_sleep(unsigned int seconds)
{
    using sleep_fn = unsigned int (*)(unsigned int);
    auto next = reinterpret_cast<sleep_fn>(dlsym(RTLD_NEXT, "sleep"));
    return next != nullptr ? next(seconds) : 0;
}

[[gnu::destructor]] void report_exit()
{
    if (channel_open())
        ask('X', 0);
}

} // namespace

extern "C" unsigned int sleep(unsigned int seconds)
{
    if (!channel_open())
        return real_sleep(seconds);
    // 'F': the pause is recorded and returns at once.
    if (ask('P', seconds) == 'F')
        return 0;
    return real_sleep(seconds);
}
