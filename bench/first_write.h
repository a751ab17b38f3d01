// Shared by flasher-measure and the first-write shim: the environment
// variable that names the pipe the shim writes its time stamp into.
#pragma once

inline constexpr char first_write_fd_env[] = "FLASHER_BENCH_FIRST_WRITE_FD";
