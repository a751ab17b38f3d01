// A temporary file that goes away when it is closed, on every platform of
// the probe.
#pragma once

#include <cstdio>

// Opened for reading and writing in binary mode; null when none can be made.
std::FILE *open_temporary_file();
