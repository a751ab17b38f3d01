#include "tools/probe/run_verdict.h"

#include "tools/probe/input_report.h"

verdict judge_run(const dry_run *run, const input_plan *plan, const std::string &program,
                  const search_end &end)
{
    if (run != nullptr && !run->prepared)
        return {probe_would_fail, program + " would stop at once: " + run->last_line};
    const std::string give_up = program + " would give up: ";
    if (!end.listed)
        return {probe_would_fail, give_up + "the USB devices cannot be listed"};
    if (!end.stopped)
        return {probe_would_fail,
                give_up + (end.any ? "no device passes" : "no device is attached")};
    if (end.gives_up)
        return {probe_would_fail, give_up + "every attempt fails at " + end.where};
    if (run == nullptr)
        return {probe_would_succeed, program + " would use " + end.where};
    if (run->status != 0)
        return {probe_would_fail, program + " would fail on " + end.where + ": " + run->last_line};
    return judge_input(*plan, program, end.where);
}
