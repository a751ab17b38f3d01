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
    if (!end.stopped && end.any)
        return {probe_would_fail, give_up + "no device passes"};
    if (!end.stopped)
        return {probe_would_fail,
                give_up + "no device with " + end.ids + " is attached" + end.others};
    if (end.gives_up)
        return {probe_would_fail, give_up + "every attempt fails at " + end.where};
    const std::string fails_on = program + " would fail on " + end.where + ": ";
    if (!end.fails_why.empty())
        return {probe_would_fail, fails_on + end.fails_why};
    if (run == nullptr)
        return {probe_would_succeed, program + " would use " + end.where};
    if (run->status != 0)
        return {probe_would_fail, fails_on + run->last_line};
    return judge_input(*plan, program, end.where);
}
