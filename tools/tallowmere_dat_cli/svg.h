#pragma once

// Text for SVG (XML) documents.

#include <string>
#include <string_view>

namespace tallowmere_dat::cli {

/// `text` as XML character data that is also safe inside a quoted attribute: `&`, `<`, `>`, `"`
/// and `'` become entity references, and what a well-formed document can't hold (bytes that are
/// not UTF-8, control characters other than tab, line feed and carriage return) becomes U+FFFD,
/// one per offending byte.
std::string xml_escaped(std::string_view text);

}  // namespace tallowmere_dat::cli
