// The gadget's account when it stops: what each plug-in received, and the
// check of each against the expected file.
#pragma once

#include "tools/account/account.h"

#include <cstdio>
#include <vector>

// Prints the account of every plug-in to out, as text or as one JSON object
// per line. A gadget plugged in once prints its account as it always has;
// after a re-plug each plug-in's account follows a "plug-in N:" line,
// indented. With expect (an image or parameter file, or null) each plug-in
// is checked against it. Returns 1 when a plug-in did not receive the file
// intact, else 0.
int report_plug_ins(const std::vector<account::recording> &plug_ins, const char *expect, bool json,
                    std::FILE *out);
