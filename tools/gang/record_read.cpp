#include "tools/gang/record_read.h"

#include <cctype>
#include <initializer_list>
#include <nlohmann/json.hpp>

namespace
{

enum class want { text, text_or_null, object_or_null };

// The fields read, with the schema that brought each in.
struct field_rule {
    const char *name;
    want kind;
    int since_schema;
};
constexpr field_rule field_rules[] = {
    {"run", want::text, 1},
    {"station", want::text, 2},
    {"end", want::text, 1},
    {"usb_path", want::text, 1},
    {"serial", want::text_or_null, 1},
    {"mode", want::text, 1},
    {"image", want::object_or_null, 1},
    {"result", want::text, 1},
};

// The words a field may hold.
struct word_rule {
    const char *name;
    std::initializer_list<const char *> words;
};
const word_rule word_rules[] = {
    {"mode", {"firmware", "parameters", "erase"}},
    {"result", {"ok", "failed", "interrupted", "not flashed", "skipped"}},
};

const char *kind_words(want kind)
{
    switch (kind) {
    case want::text:
        return "a string";
    case want::text_or_null:
        return "a string or null";
    case want::object_or_null:
        break;
    }
    return "an object or null";
}

template <typename Json> bool kind_fits(const Json &value, want kind)
{
    switch (kind) {
    case want::text:
        return value.is_string();
    case want::text_or_null:
        return value.is_string() || value.is_null();
    case want::object_or_null:
        break;
    }
    return value.is_object() || value.is_null();
}

// "2026-12-08T15:01:02.345Z", as the gang writes it: times in this one
// form compare as text in time order.
bool is_record_time(const std::string &t)
{
    constexpr std::string_view form = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (t.size() != form.size())
        return false;
    for (std::size_t i = 0; i < form.size(); ++i) {
        const bool fits =
            form[i] == 'd' ? std::isdigit(static_cast<unsigned char>(t[i])) != 0 : t[i] == form[i];
        if (!fits)
            return false;
    }
    return true;
}

bool is_sha256(const std::string &hex)
{
    if (hex.size() != 64)
        return false;
    for (const char c : hex) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'a' || c > 'f'))
            return false;
    }
    return true;
}

template <typename Json> bool check_schema(const Json &r, int &schema, std::string &why)
{
    if (!r.contains("schema") || !r["schema"].is_number_integer()) {
        why = "\"schema\" is missing or not a whole number";
        return false;
    }
    const auto number = r["schema"].template get<long long>();
    if (number < oldest_schema_read || number > record_schema) {
        why = "schema " + std::to_string(number) + " is not one this flasher-gang reads (1 to " +
              std::to_string(record_schema) + ")";
        return false;
    }
    schema = static_cast<int>(number);
    return true;
}

template <typename Json> bool check_fields(const Json &r, int schema, std::string &why)
{
    for (const field_rule &f : field_rules) {
        if (f.since_schema > schema)
            continue;
        if (!r.contains(f.name) || !kind_fits(r[f.name], f.kind)) {
            why = std::string("\"") + f.name + "\" is missing or not " + kind_words(f.kind);
            return false;
        }
    }
    for (const word_rule &w : word_rules) {
        const auto value = r[w.name].template get<std::string>();
        bool known = false;
        for (const char *word : w.words)
            known = known || value == word;
        if (!known) {
            why = std::string("\"") + w.name + "\" is \"" + value + "\", not a word of the record";
            return false;
        }
    }
    if (!is_record_time(r["end"].template get<std::string>())) {
        why = "\"end\" is not a time as the record writes it";
        return false;
    }
    const auto &image = r["image"];
    if (image.is_object() && (!image.contains("sha256") || !image["sha256"].is_string() ||
                              !is_sha256(image["sha256"].template get<std::string>()))) {
        why = "\"image\" has no \"sha256\" of 64 lower-case hex digits";
        return false;
    }
    return true;
}

} // namespace

template <typename Json> bool read_record_object(const Json &r, line_facts &facts, std::string &why)
{
    int schema = 0;
    if (!r.is_object()) {
        why = "not a JSON object";
        return false;
    }
    if (!check_schema(r, schema, why) || !check_fields(r, schema, why))
        return false;
    facts.serial = r["serial"].is_string() ? r["serial"].template get<std::string>() : "";
    const auto text = [&r](const char *name) { return r[name].template get<std::string>(); };
    facts.end = text("end");
    facts.result = text("result");
    facts.mode = text("mode");
    facts.sha256 = r["image"].is_object() ? r["image"]["sha256"].template get<std::string>() : "";
    facts.done = {text("run"), facts.end, text("usb_path"), schema >= 2 ? text("station") : ""};
    return true;
}

template bool read_record_object(const nlohmann::json &, line_facts &, std::string &);
template bool read_record_object(const nlohmann::ordered_json &, line_facts &, std::string &);

bool read_record_line(std::string_view text, line_facts &facts, std::string &why,
                      std::string &named_serial)
{
    named_serial.clear();
    const nlohmann::json r = nlohmann::json::parse(text, nullptr, false);
    if (r.is_discarded()) {
        why = text.empty() ? "an empty line" : "not JSON (a line cut short?)";
        return false;
    }
    if (read_record_object(r, facts, why))
        return true;
    if (r.is_object() && r.contains("serial") && r["serial"].is_string())
        named_serial = r["serial"];
    return false;
}
