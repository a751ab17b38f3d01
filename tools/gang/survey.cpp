#include "tools/gang/survey.h"

#include "tools/probe/device_report.h"
#include "tools/probe/dry_run.h"
#include "tools/probe/input_report.h"
#include "usb/transport.h"

namespace
{

struct mode_text {
    run_mode mode;
    const char *name;
};
constexpr mode_text mode_names[] = {
    {run_mode::firmware, "firmware"},
    {run_mode::parameters, "parameters"},
    {run_mode::erase_only, "erase"},
};

} // namespace

const char *mode_name(run_mode mode)
{
    for (const mode_text &m : mode_names) {
        if (m.mode == mode)
            return m.name;
    }
    return "?";
}

survey_facts facts_of(const dryrun::examined_device &device)
{
    survey_facts b;
    // "-" stands for a path that cannot be built (it is never pinned).
    b.usb_path = device.ex.path_known ? std::string(device.ex.path) : std::string("-");
    b.serial = device.ex.serial_read && device.ex.serial_status >= 0 ? device.ex.serial : "";
    if (!device.ex.path_known) {
        b.reason = "its usb path cannot be built, so it cannot be pinned";
    } else if (!dryrun::usable(device)) {
        // Pinned, the search meets no other device: its own checks decide.
        const device_outcome o = describe_outcome(device, {});
        b.reason = o.reason;
        b.advice = o.advice;
    } else {
        b.usable = true;
    }
    return b;
}

input_survey survey_input(const std::string &input, bool erase_all)
{
    std::vector<std::string> args{"flasher", input};
    if (erase_all)
        args.emplace_back("all");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const dry_run run = run_dry(static_cast<int>(args.size()), argv.data());

    input_survey survey;
    survey.plan = plan_input(run, dryrun::sent());
    if (dryrun::searched_at_all())
        survey.devices = dryrun::searched();
    if (!run.prepared || run.status != 0) {
        survey.refusal = run.last_line;
        return survey;
    }
    const verdict v = judge_input(survey.plan, "flasher", "each device");
    if (only_erases(survey.plan)) {
        survey.refusal = v.text + "; to erase, give erase instead of the file";
        return survey;
    }
    survey.taken = true;
    if (v.status == probe_would_leave)
        survey.warning = v.text;
    return survey;
}

flash_plan flash_plan_of(const input_plan &plan)
{
    return {plan.mode, plan.pages, plan.trailer};
}

device_survey survey_devices(const dryrun::walk_result &walk)
{
    device_survey survey;
    survey.listed = walk.listed;
    for (const dryrun::examined_device &device : walk.devices)
        survey.boards.push_back(facts_of(device));
    for (const device_examination &other : walk.other_products)
        survey.other_products.push_back(other_product_text(other));
    if (survey.boards.empty()) {
        survey.none_attached = "no device with " + table_ids_text() + " is attached";
        for (const std::string &other : survey.other_products)
            survey.none_attached += "; " + other;
    }
    return survey;
}

std::string table_ids_text()
{
    std::string text;
    for (const usb_id *id = usb_ids; id->vid != 0; ++id)
        text += (text.empty() ? "" : " or ") + ids_text(id->vid, id->pid);
    return text;
}
