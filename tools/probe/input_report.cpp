// Every size in these lines is the protocol's own (frontend/protocol.h).
#include "tools/probe/input_report.h"

#include "frontend/protocol.h"
#include "tools/probe/words.h"

namespace
{

void print_erase(std::FILE *out, const input_plan &plan, const dry_run &run)
{
    std::fprintf(out, "  erase: %02X with the header %s", plan.erase_code,
                 hex_bytes(plan.header.data(), plan.header.size()).c_str());
    if (run.request.header_read == image_header_size)
        std::fprintf(out, " (the file's first %zu bytes)\n", image_header_size);
    else
        std::fprintf(out, " (the file's %zu bytes, then zeros)\n", run.request.header_read);
}

void print_pages(std::FILE *out, const char *program, const input_plan &plan)
{
    const std::string most =
        plan.pages == max_pages ? ", the most " + std::string(program) + " sends" : "";
    if (plan.pages == 0)
        std::fprintf(out, "  pages: none: no whole page of %zu bytes follows the header\n",
                     page_size);
    else
        std::fprintf(out, "  pages: 0-%u (%u page%s%s)\n", plan.pages - 1, plan.pages,
                     plan.pages == 1 ? "" : "s", most.c_str());
    if (plan.trailer)
        std::fprintf(out, "  trailer: sent (the %zu bytes after the last page)\n", trailer_size);
    else if (plan.pages == max_pages)
        std::fprintf(out, "  trailer: none: %s sends no trailer after %u pages\n", program,
                     max_pages);
    else
        std::fprintf(out,
                     "  trailer: none: the file does not end in %zu bytes after the last "
                     "whole page\n",
                     trailer_size);
}

void print_unsent(std::FILE *out, const char *program, const input_plan &plan)
{
    if (plan.total < 0) {
        std::fprintf(out, "  not sent: cannot be told: the source gives more bytes than its "
                          "size says\n");
        return;
    }
    if (plan.unsent == 0) {
        std::fprintf(out, "  not sent: nothing: every byte of the file goes out\n");
        return;
    }
    std::fprintf(out, "  not sent: %s%lld bytes from offset %lld: ",
                 plan.total_at_least ? "at least " : "", plan.unsent, plan.sent);
    if (plan.why == leftover::beyond_page_limit)
        std::fprintf(out,
                     "beyond page %u; %s sends at most %u pages and nothing after "
                     "them\n",
                     max_pages - 1, program, max_pages);
    else
        std::fprintf(out,
                     "a tail of %lld bytes after the last whole page; only a tail of exactly "
                     "%zu bytes (the trailer) is sent\n",
                     plan.unsent, trailer_size);
}

std::string pages_text(const input_plan &plan)
{
    std::string text = std::to_string(plan.pages) + (plan.pages == 1 ? " page" : " pages");
    return plan.trailer ? text + " and the trailer" : text;
}

} // namespace

void print_input(std::FILE *out, const std::string &program, const std::string &name,
                 const dry_run &run, const input_plan &plan)
{
    if (!run.prepared) {
        std::fprintf(out, "input: %s stops here, before any USB activity: %s\n", program.c_str(),
                     run.last_line.c_str());
        return;
    }
    switch (plan.mode) {
    case run_mode::erase_only:
        std::fprintf(out, "input: none: \"erase\" reads no file\n");
        std::fprintf(out, "  erase: %02X with %zu zero bytes, then two zero bytes; nothing else\n",
                     plan.erase_code, image_header_size);
        return;
    case run_mode::parameters:
        std::fprintf(out, "input: %s, %zu bytes: a parameter block (exactly %zu bytes)\n",
                     name.c_str(), params_size, params_size);
        std::fprintf(out, "  sent: %02X, then the %zu bytes as they stand; no erase\n", CMD_PARAMS,
                     params_size);
        return;
    case run_mode::firmware:
        break;
    }
    if (run.request.input_size >= 0)
        std::fprintf(out, "input: %s, %lld bytes: a firmware image (any size but %zu bytes)\n",
                     name.c_str(), run.request.input_size, params_size);
    else
        std::fprintf(out,
                     "input: %s: its size cannot be told (not a regular file), so %s takes "
                     "it for a firmware image whatever it holds, %zu bytes of parameters too; "
                     "it held %s%lld bytes\n",
                     name.c_str(), program.c_str(), params_size,
                     run.counted_at_least ? "at least " : "", run.counted_total);
    print_erase(out, plan, run);
    print_pages(out, program.c_str(), plan);
    print_unsent(out, program.c_str(), plan);
}

verdict judge_input(const input_plan &plan, const std::string &program, const std::string &where)
{
    switch (plan.mode) {
    case run_mode::parameters:
        return {probe_would_succeed, program + " would upload the parameter block to " + where};
    case run_mode::erase_only:
        return {probe_would_succeed, program + " would erase " + where};
    case run_mode::firmware:
        break;
    }
    const std::string erase = program + " would erase " + where;
    if (only_erases(plan))
        return {probe_would_leave,
                program + " would only erase " + where + ": the file has no whole page"};
    if (plan.unsent > 0)
        return {probe_would_leave, erase + " and send " + pages_text(plan) + "; " +
                                       (plan.total_at_least ? "at least " : "") +
                                       std::to_string(plan.unsent) +
                                       " bytes of the file would not be sent"};
    if (plan.total < 0)
        return {probe_would_succeed, erase + " and send " + pages_text(plan) +
                                         "; what is left of the source cannot be told"};
    return {probe_would_succeed, erase + " and send the whole file: " + pages_text(plan)};
}
