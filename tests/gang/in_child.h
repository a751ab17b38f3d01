// Running part of a unit test in a child process, so that what it changes
// for the process (a file size limit, an ignored signal) stays there.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <sys/resource.h>

namespace support
{

// Runs `body` in a child process and returns what it reported (discarded
// when the child did not report, or did not end within a generous minute:
// it is killed then).
nlohmann::json in_child(const std::function<nlohmann::json()> &body);

// Files may grow to `bytes` and no further: a write past it fails with
// EFBIG (SIGXFSZ is ignored), as on a full disk.
void limit_file_size(rlim_t bytes);
void lift_file_size_limit();

} // namespace support
