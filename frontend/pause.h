// The pause between connection attempts and after an erase. Each program
// supplies its own (whole seconds through sleep() on POSIX, Sleep() in
// milliseconds on Windows); tests link a recording one instead, so no unit
// test waits.
#pragma once

void flasher_pause(unsigned int seconds);
