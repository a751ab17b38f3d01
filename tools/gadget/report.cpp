#include "report.h"

int report_plug_ins(const std::vector<account::recording> &plug_ins, const char *expect, bool json,
                    std::FILE *out)
{
    const bool several = plug_ins.size() > 1;
    const char *indent = several ? "  " : "";
    int status = 0;
    for (std::size_t i = 0; i < plug_ins.size(); ++i) {
        const account::recording &rec = plug_ins[i];
        if (several)
            std::fprintf(out, "plug-in %zu:\n", i + 1);
        if (json) {
            account::print_account_json(rec, out);
            std::fputc('\n', out);
        } else {
            account::print_account(rec, out, indent);
        }
        if (expect &&
            account::check_image(rec, expect, out, indent) != account::check_result::intact)
            status = 1;
    }
    std::fflush(out);
    return status;
}
