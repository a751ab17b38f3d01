#include "tools/probe/win/error_text.h"

#include <cstring>

namespace
{

// Device Manager's problem codes (CM_PROB_*) that a device bound to WinUSB
// can show, with what Device Manager says of each.
struct problem_text {
    ULONG problem;
    const char *meaning;
};
constexpr problem_text problems[] = {
    {1, "the device is not configured correctly"},
    {3, "its driver may be corrupted, or Windows is short of memory"},
    {10, "the device cannot start"},
    {12, "the device cannot find enough free resources"},
    {14, "the device cannot work until the computer is restarted"},
    {18, "its driver must be reinstalled"},
    {19, "its configuration in the registry is incomplete or damaged"},
    {21, "Windows is removing the device"},
    {22, "the device is disabled (Device Manager: Enable device)"},
    {24, "the device is not present, not working properly, or lacks a driver"},
    {28, "its driver is not installed"},
    {29, "its firmware did not give it the resources it needs"},
    {31, "the device is not working properly: Windows cannot load its driver"},
    {32, "its driver's service is disabled"},
    {37, "Windows cannot start its driver"},
    {38, "a previous instance of its driver is still in memory"},
    {39, "Windows cannot load its driver: it may be corrupted or missing"},
    {43, "Windows stopped the device because it reported problems"},
    {45, "the device is not connected"},
    {48, "its driver is blocked from starting"},
    {52, "Windows cannot verify the digital signature of its driver"},
};

} // namespace

std::string windows_error(DWORD error)
{
    std::string text = "Windows error " + std::to_string(error);
    char message[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, message, sizeof message, nullptr);
    if (length >= sizeof message)
        length = 0;
    // Windows ends its texts in a stop and a line end.
    while (length > 0 && std::strchr(" \t\r\n.", message[length - 1]) != nullptr)
        --length;
    if (length == 0)
        return text;
    return text + ": " + std::string(message, length);
}

std::string problem_meaning(ULONG problem)
{
    for (const problem_text &p : problems) {
        if (p.problem == problem)
            return p.meaning;
    }
    return "see the device's status in Device Manager";
}
