#include "tools/gang/verdict.h"

#include <cstring>
#include <optional>

namespace
{

// What the events lack for the mode's messages to count as taken whole;
// nullopt when nothing.
std::optional<std::string> missing_from_erase(const flash_plan &, const message_tally &t)
{
    if (!t.erase)
        return "the erase was never handed over";
    if (!*t.erase)
        return "the erase was not taken whole";
    return std::nullopt;
}

std::optional<std::string> missing_from_firmware(const flash_plan &plan, const message_tally &t)
{
    if (std::optional<std::string> erase = missing_from_erase(plan, t))
        return erase;
    if (t.pages < plan.pages)
        return "only " + std::to_string(t.pages) + " of " + std::to_string(plan.pages) +
               " pages were taken whole";
    if (plan.trailer && !t.trailer)
        return "the trailer was not sent";
    if (plan.trailer && !*t.trailer)
        return "the trailer was not taken whole";
    return std::nullopt;
}

std::optional<std::string> missing_from_parameters(const flash_plan &, const message_tally &t)
{
    if (!t.params)
        return "the parameter upload was never handed over";
    if (!*t.params)
        return "the parameter block was not taken whole";
    return std::nullopt;
}

struct mode_rule {
    run_mode mode;
    std::optional<std::string> (*missing)(const flash_plan &, const message_tally &);
};
constexpr mode_rule mode_rules[] = {
    {run_mode::firmware, missing_from_firmware},
    {run_mode::erase_only, missing_from_erase},
    {run_mode::parameters, missing_from_parameters},
};

std::optional<std::string> missing(const flash_plan &plan, const message_tally &taken)
{
    for (const mode_rule &rule : mode_rules) {
        if (rule.mode == plan.mode)
            return rule.missing(plan, taken);
    }
    return "no rule for this mode";
}

board_verdict failed(std::string reason)
{
    return {board_result::failed, std::move(reason)};
}

} // namespace

bool all_taken(const flash_plan &plan, const message_tally &taken)
{
    return !missing(plan, taken);
}

board_verdict judge_flasher(const flash_plan &plan, const message_tally &taken, bool gave_account,
                            const flasher_exit &exit, stop_cause stopped)
{
    if (!exit.waited)
        return failed(std::string("its exit status could not be had: ") +
                      std::strerror(exit.wait_error));
    const std::optional<std::string> lacking =
        gave_account ? missing(plan, taken)
                     : std::optional<std::string>("flasher gave no account of its messages");
    if (exit.exit_status == 0 && !lacking)
        return {board_result::ok, {}};
    if (stopped == stop_cause::unplugged)
        return failed("unplugged");
    if (exit.signal > 0)
        return stopped == stop_cause::interrupted
                   ? board_verdict{board_result::interrupted, "stopped: the gang was interrupted"}
                   : failed("flasher was ended by signal " + std::to_string(exit.signal));
    if (exit.exit_status != 0)
        return failed("flasher exited " + std::to_string(exit.exit_status));
    return failed(*lacking);
}
