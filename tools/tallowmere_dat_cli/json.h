#pragma once

// JSON values the subcommands share. Objects keep their keys in the order they are added.

#include <nlohmann/json.hpp>

namespace tallowmere_dat::cli {

using Json = nlohmann::ordered_json;

/// A float as JSON that reads back to the same bits. A finite value is a number, written in the
/// shortest form that a reader parsing it as a double and narrowing to float gets back exactly;
/// an infinity or a NaN, which JSON numbers can't hold, is the string `float_text` gives
/// ("inf", "-inf", "nan:0x7FC00000").
Json float_json(float value);

/// Writes `value` as one line of JSON text.
std::string json_line(const Json& value);

}  // namespace tallowmere_dat::cli
