#include "tools/probe/options.h"

#include "tools/probe/input_report.h"

#include <cstdio>
#include <cstring>

int parse_probe_options(int argc, char **argv, const char *usage, probe_options &opt)
{
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if (std::strcmp(argv[i], "--paths") == 0) {
            opt.paths = true;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage, stdout);
            return probe_would_succeed;
        } else {
            std::fprintf(stderr, "flasher-probe: unknown option %s\n%s", argv[i], usage);
            return probe_bad_options;
        }
    }
    opt.first_arg = i;
    return -1;
}

verdict judge_input_alone(const dry_run *run, const input_plan *plan, const std::string &program)
{
    if (run == nullptr)
        return {probe_would_succeed, {}};
    if (!run->prepared)
        return {probe_would_fail, program + " would stop at once: " + run->last_line};
    if (run->status != 0)
        return {probe_would_fail, program + " would fail: " + run->last_line};
    return judge_input(*plan, program, "each device");
}

int report_pins(const dry_run *run, const input_plan *plan, const std::vector<std::string> &pins,
                const std::string &program)
{
    const verdict input = judge_input_alone(run, plan, program);
    if (input.status == probe_would_fail) {
        std::fprintf(stderr, "flasher-probe: %s\n", input.text.c_str());
        return input.status;
    }
    if (pins.empty()) {
        std::fprintf(stderr, "flasher-probe: no device %s could use\n", program.c_str());
        return probe_would_fail;
    }
    for (const std::string &pin : pins)
        std::printf("%s\n", pin.c_str());
    if (input.status != probe_would_succeed)
        std::fprintf(stderr, "flasher-probe: %s\n", input.text.c_str());
    return input.status;
}
