#pragma once

// Small helpers shared by the chain reader, the directory walk and the error texts.

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "little_endian.h"
#include "tallowmere_dat/error.h"

namespace tallowmere_dat::detail {

enum class HexCase : bool { upper, lower };

/// `value` in hex digits without a prefix, zero-padded to `digits` (always at least one digit).
inline std::string hex(std::uint64_t value, std::size_t digits, HexCase letters = HexCase::upper) {
  const std::string_view set = letters == HexCase::upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::size_t needed = 1;
  for (std::uint64_t rest = value >> 4U; rest != 0; rest >>= 4U)
    ++needed;
  std::string out(std::max(digits, needed), '0');
  for (auto it = out.rbegin(); value != 0; ++it, value >>= 4U)
    *it = set[value & 0xFU];
  return out;
}

/// `value` as "0x" and eight upper-case hex digits, the form identifiers and archive offsets
/// take in messages.
inline std::string hex32(std::uint32_t value) {
  return "0x" + hex(value, 8);
}

/// The `Corruption` error with `message`.
inline DatError corruption(std::string message) {
  return DatError(DatError::Corruption{std::move(message)});
}

}  // namespace tallowmere_dat::detail
