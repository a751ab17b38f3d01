#include "frontend/pause.h"

#include <unistd.h>

void flasher_pause(unsigned int seconds)
{
    // sleep() can return early on a signal; the pause is a minimum the
    // device relies on, so sleep out the rest.
    while (seconds > 0)
        seconds = sleep(seconds);
}
