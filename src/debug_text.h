#pragma once

#include <string>
#include <string_view>

namespace tallowmere_dat::detail {

/// `bytes` in double quotes, escaped for debug output: `"` and `\` get a backslash; line feed,
/// carriage return, tab and NUL become \n \r \t \0; other unprintable characters (those of
/// unprintable_table.h) become \u{hex}; bytes that are not part of valid UTF-8 become \xHH.
std::string quote_debug(std::string_view bytes);

/// `bytes` escaped as by `quote_debug`, but without quotes and leaving `"` and `\` alone: text
/// for people that holds no control or other unprintable character and is valid UTF-8. Applying
/// it twice changes nothing more.
std::string escape_unprintable(std::string_view bytes);

}  // namespace tallowmere_dat::detail
