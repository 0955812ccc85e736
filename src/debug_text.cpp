#include "debug_text.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "format_detail.h"
#include "unprintable_table.h"

namespace tallowmere_dat::detail {
namespace {

struct DecodedChar {
  char32_t code_point;
  std::size_t length;
};

/// Decodes one well-formed UTF-8 sequence at the start of `s` (no overlongs, no surrogates).
std::optional<DecodedChar> decode_utf8(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return DecodedChar{lead, 1};
  std::size_t length = 0;
  char32_t min = 0;
  char32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, min = 0x80, cp = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, min = 0x800, cp = lead & 0x0FU;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, min = 0x10000, cp = lead & 0x07U;
  } else {
    return std::nullopt;
  }
  if (s.size() < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0U) != 0x80U) return std::nullopt;
    cp = (cp << 6U) | (byte(i) & 0x3FU);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return DecodedChar{cp, length};
}

/// False for the code points of the generated table (controls, format characters, separators
/// and spaces other than U+0020, surrogates, private use, unassigned), which a terminal would
/// hide, act on or show as something else.
bool is_printable(char32_t c) {
  const auto ranges = unprintable_ranges();
  // The first range that ends at or after `c` holds it unless it starts after it.
  const auto it = std::ranges::lower_bound(ranges, c, {}, &CodePointRange::last);
  return it == ranges.end() || c < it->first;
}

/// Inside quotes `"` and `\` are escaped too, so that the text reads back unambiguously.
enum class Quoting : bool { quoted, bare };

void append_escaped(std::string& out, char32_t c, std::string_view encoded, Quoting quoting) {
  switch (c) {
    case '"':
    case '\\':
      if (quoting == Quoting::quoted) {
        out += '\\';
        out += static_cast<char>(c);
        return;
      }
      break;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\0':
      out += "\\0";
      return;
    default:
      break;
  }
  if (is_printable(c)) {
    out += encoded;
    return;
  }
  out += "\\u{";
  out += hex(c, 1, HexCase::lower);
  out += '}';
}

void append_all_escaped(std::string& out, std::string_view bytes, Quoting quoting) {
  while (!bytes.empty()) {
    if (const auto decoded = decode_utf8(bytes)) {
      append_escaped(out, decoded->code_point, bytes.substr(0, decoded->length), quoting);
      bytes.remove_prefix(decoded->length);
    } else {
      out += "\\x";
      out += hex(static_cast<std::uint8_t>(bytes.front()), 2);
      bytes.remove_prefix(1);
    }
  }
}

}  // namespace

std::string quote_debug(std::string_view bytes) {
  std::string out = "\"";
  append_all_escaped(out, bytes, Quoting::quoted);
  out += '"';
  return out;
}

std::string escape_unprintable(std::string_view bytes) {
  std::string out;
  append_all_escaped(out, bytes, Quoting::bare);
  return out;
}

}  // namespace tallowmere_dat::detail
