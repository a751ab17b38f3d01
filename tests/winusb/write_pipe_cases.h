// Devices that differ only in the pipes of interface 0, alternate setting 0,
// and whether flasher-win's writes reach them: the double takes a write to a
// bulk or an interrupt pipe the interface has, and fails any other. Both
// flasher-probe.exe's prediction (probe_win_findings_test.cpp) and
// flasher-win's real run (flasher_win_run_test.cpp) are judged against this
// one table.
#pragma once

#include "win_double.h"

#include <ostream>
#include <vector>

struct write_pipe_case {
    const char *name;
    std::vector<fake_pipe> pipes;
    bool writes_go_through; // flasher-win opens it and its writes are taken
    const char *why;        // else: what the probe says of pipe 0x02
};

inline void PrintTo(const write_pipe_case &c, std::ostream *os)
{
    *os << c.name;
}

inline const std::vector<write_pipe_case> write_pipe_cases = {
    {"bulk_02", {{true, 0x81}, {true, 0x02}}, true, ""},
    // flasher-win looks at the first two pipes only; 0x01 makes it go on.
    {"bulk_02_third", {{true, 0x01}, {true, 0x81}, {true, 0x02}}, true, ""},
    {"out_01_only", {{true, 0x81}, {true, 0x01}}, false, "does not have as an OUT pipe"},
    {"in_82_not_02", {{true, 0x01}, {true, 0x82}}, false, "does not have as an OUT pipe"},
    {"isochronous_02",
     {{true, 0x81}, {true, 0x02, UsbdPipeTypeIsochronous}},
     false,
     "an isochronous pipe"},
    {"interrupt_02", {{true, 0x81}, {true, 0x02, UsbdPipeTypeInterrupt}}, true, ""},
};
