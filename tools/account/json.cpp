// The account of a recording as JSON.
#include "tools/account/account_json.h"
#include "tools/account/decode.h"

namespace account
{

namespace
{

std::string hex(const unsigned char *b, std::size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        text += digits[b[i] >> 4];
        text += digits[b[i] & 0x0F];
    }
    return text;
}

const char *kind_name(item_kind kind)
{
    switch (kind) {
    case item_kind::pause:
        return "pause";
    case item_kind::params_announce:
        return "params_announce";
    case item_kind::params_block:
        return "params_block";
    case item_kind::erase:
        return "erase";
    case item_kind::zero_byte:
        return "zero_byte";
    case item_kind::page:
        return "page";
    case item_kind::trailer:
        return "trailer";
    case item_kind::unknown:
        return "unknown";
    }
    return "";
}

nlohmann::ordered_json json_item(const recording &rec, const item &it)
{
    nlohmann::ordered_json j;
    j["kind"] = kind_name(it.kind);
    if (it.kind == item_kind::pause) {
        j["seconds"] = it.seconds;
        return j;
    }
    const event &ev = rec.events[it.event];
    const unsigned char *b = bytes_of(rec, ev);
    j["transfer"] = it.transfer;
    switch (it.kind) {
    case item_kind::erase:
        j["code"] = hex(b, 1);
        j["header"] = hex(b + 1, wire::header_size);
        break;
    case item_kind::page:
        j["number"] = it.page;
        j["chunks"] = it.chunks;
        j["header_failed"] = it.failed_in_header;
        break;
    case item_kind::trailer:
        j["bytes"] = hex(b + 1, wire::trailer_size);
        break;
    case item_kind::params_block:
    case item_kind::unknown:
        j["bytes"] = hex(b, it.taken);
        break;
    default:
        break;
    }
    j["outcome"] = outcome_name(it.result);
    j["length"] = it.length;
    j["taken"] = it.taken;
    return j;
}

} // namespace

nlohmann::ordered_json account_json(const recording &rec)
{
    decoded d = decode(rec);
    nlohmann::ordered_json j;
    j["transfers"] = transfer_count(rec);
    j["bytes_taken"] = bytes_taken(rec);
    j["follows_protocol"] = d.problems.empty();
    j["messages"] = nlohmann::ordered_json::array();
    for (const item &it : d.items)
        j["messages"].push_back(json_item(rec, it));
    j["problems"] = nlohmann::ordered_json::array();
    for (const problem &p : d.problems)
        j["problems"].push_back({{"transfer", p.transfer}, {"text", p.text}});
    return j;
}

std::string dump_json(const nlohmann::ordered_json &doc)
{
    return doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void print_account_json(const recording &rec, std::FILE *out)
{
    std::fputs(dump_json(account_json(rec)).c_str(), out);
}

} // namespace account
