// Where one run of flasher-gang keeps its files: a directory of its own,
// made fresh, so that nothing an earlier run left can pass for this run's.
#pragma once

#include <chrono>
#include <string>
#include <vector>

using wall_time = std::chrono::system_clock::time_point;

// UTC, RFC 3339 with milliseconds: "2026-12-08T15:01:02.345Z".
std::string rfc3339_utc(wall_time when);

// The run's name: its start time (UTC, to the millisecond, without
// separators) and the process ID, "20261208T150102.345Z-4242".
std::string run_id(wall_time start, long pid);

// Makes `logs` (with its parents) if needed, then `logs`/`id`, which must
// not exist yet. Fills `dir` with the new directory's absolute path and
// `made` with every directory it made, the run's own last.
bool make_run_dir(const std::string &logs, const std::string &id, std::string &dir,
                  std::vector<std::string> &made, std::string &error);

// A run refused before it touched a device leaves nothing behind: the run
// directory goes with what it holds, and so do the directories made for it
// (`made`, as make_run_dir gave it) that nothing else has used since.
void remove_run_dir(const std::string &dir, const std::vector<std::string> &made);
