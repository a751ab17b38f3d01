#include "tools/probe/options.h"

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

int paths_status(const dry_run *run, std::size_t listed, const verdict &v,
                 const std::string &program)
{
    const bool input_ok = run == nullptr || (run->prepared && run->status == 0);
    const int status = !input_ok || listed == 0        ? probe_would_fail
                       : v.status == probe_would_leave ? probe_would_leave
                                                       : probe_would_succeed;
    if (status != probe_would_succeed)
        std::fprintf(stderr, "flasher-probe: %s\n",
                     listed == 0 && input_ok ? ("no device " + program + " could use").c_str()
                                             : v.text.c_str());
    return status;
}
