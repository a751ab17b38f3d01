#include "frontend/pause.h"

#include <windows.h>

void flasher_pause(unsigned int seconds)
{
    Sleep(static_cast<DWORD>(seconds) * 1000u);
}
