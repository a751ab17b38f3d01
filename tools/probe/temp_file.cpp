#include "tools/probe/temp_file.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdio>

// Windows' own tmpfile() makes the file in the root of the current drive,
// where an ordinary user may not write: the file goes into the user's
// temporary folder instead, and "D" deletes it when it is closed.
std::FILE *open_temporary_file()
{
    char folder[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder)
        return nullptr;
    char name[MAX_PATH];
    if (GetTempFileNameA(folder, "fpr", 0, name) == 0)
        return nullptr;
    std::FILE *file = std::fopen(name, "w+bD");
    if (file == nullptr)
        std::remove(name);
    return file;
}
#else
std::FILE *open_temporary_file()
{
    return std::tmpfile();
}
#endif
