#include "tools/probe/plan.h"

#include "frontend/protocol.h"

#include <algorithm>

namespace
{

bool is_message(const dryrun::message &m, unsigned char code, std::size_t size)
{
    return m.bytes.size() == size && m.bytes[0] == code;
}

// The erase message's code and header, and the pages and trailer after it.
void read_erase_and_pages(const std::vector<dryrun::message> &sent, input_plan &plan)
{
    if (sent.empty() || sent[0].bytes.size() != erase_message_size)
        return;
    plan.erase_code = sent[0].bytes[0];
    std::copy_n(sent[0].bytes.begin() + 1, image_header_size, plan.header.begin());
    for (const dryrun::message &m : sent) {
        if (is_message(m, CMD_PAGE, page_header_size))
            ++plan.pages;
        plan.trailer = plan.trailer || is_message(m, CMD_TRAILER, trailer_message_size);
    }
}

// How much of the file goes out, and what stays behind and why.
void account_for_file(const dry_run &run, input_plan &plan)
{
    plan.sent = static_cast<long long>(run.request.header_read) +
                static_cast<long long>(plan.pages) * static_cast<long long>(page_size) +
                (plan.trailer ? static_cast<long long>(trailer_size) : 0);
    plan.total = run.request.input_size >= 0 ? run.request.input_size : run.counted_total;
    plan.total_at_least = run.request.input_size < 0 && run.counted_at_least;
    if (plan.total >= 0 && plan.total < plan.sent)
        plan.total = -1; // a source that gives more than its size says
    if (plan.total <= plan.sent)
        return;
    plan.unsent = plan.total - plan.sent;
    plan.why = plan.pages == max_pages ? leftover::beyond_page_limit : leftover::odd_tail;
}

} // namespace

input_plan plan_input(const dry_run &run, const std::vector<dryrun::message> &sent)
{
    input_plan plan;
    plan.mode = run.request.mode;
    if (plan.mode == run_mode::parameters) {
        plan.params_sent = sent.size() == 2 && is_message(sent[0], CMD_PARAMS, 1) &&
                           sent[1].bytes.size() == params_size;
        plan.total = run.request.input_size;
        plan.sent = plan.params_sent ? plan.total : 0;
        return plan;
    }
    read_erase_and_pages(sent, plan);
    if (plan.mode == run_mode::firmware)
        account_for_file(run, plan);
    return plan;
}

bool only_erases(const input_plan &plan)
{
    return plan.mode == run_mode::firmware && plan.pages == 0 && !plan.trailer;
}
