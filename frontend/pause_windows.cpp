#include "frontend/pause.h"

#include <windows.h>

// Sleep() counts milliseconds in a DWORD; a second at a time, no count of
// seconds can overflow it.
void flasher_pause(unsigned int seconds)
{
    for (unsigned int i = 0; i < seconds; ++i)
        Sleep(1000);
}
