// Runs the command against the virtual devices.
#pragma once

#include "tools/vdev/options.h"
#include "tools/vdev/vdev.h"

namespace vdev
{

// Starts the command with its own stdout and stderr (ours), waits for it,
// and serves it meanwhile: answers the reports of its processes and plugs
// devices in and out on time. Returns its exit status (128+N for signal N),
// or exit_cannot_start.
int run_command(const options &opt, UMockdevTestbed *testbed);

} // namespace vdev
