// The account of a recording as a JSON value, for a device side that puts it
// into a JSON document of its own.
#pragma once

#include "tools/account/account.h"

#include <nlohmann/json.hpp>

namespace account
{

// Keys in a fixed order ({"transfers","bytes_taken","follows_protocol",
// "messages","problems"}), so the printed form is the same every time.
nlohmann::ordered_json account_json(const recording &rec);

// How a document is printed: one line, and a byte that is no UTF-8 becomes
// U+FFFD instead of failing the whole document.
std::string dump_json(const nlohmann::ordered_json &doc);

} // namespace account
