// The verdict on a dry run once the device search is known, alike for every
// build of the probe: each back-end's walk says where it ended, in these
// terms, and the program's name goes into the text.
#pragma once

#include "tools/probe/plan.h"
#include "tools/probe/verdict.h"

#include <string>

// Where the device search ended.
struct search_end {
    bool listed = false;   // the USB devices could be listed
    bool any = false;      // a device with the build's IDs is attached
    std::string ids;       // the build's IDs, "1209:000A"
    std::string others;    // "; X has 1209:000B" for each device of another product
    bool stopped = false;  // the search stopped at a device, `where`...
    bool gives_up = false; // ... which ends the attempt instead of being used
    std::string fails_why; // ... or is used, and the run fails there for this reason
    std::string where;
};

// The verdict on `program` with the dry run `run` (null in a survey of the
// devices alone; plan with it) and that search.
verdict judge_run(const dry_run *run, const input_plan *plan, const std::string &program,
                  const search_end &end);
