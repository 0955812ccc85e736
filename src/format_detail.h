#pragma once

// Small helpers shared by the chain reader and the directory walk.

#include <cstdint>
#include <span>
#include <string>

#include "tallowmere_dat/error.h"

namespace tallowmere_dat::detail {

/// The little-endian u32 in `bytes`.
inline std::uint32_t load_u32_le(std::span<const std::uint8_t, 4> bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8U) |
         (static_cast<std::uint32_t>(bytes[2]) << 16U) |
         (static_cast<std::uint32_t>(bytes[3]) << 24U);
}

/// `value` as "0x" and eight upper-case hex digits, the form offsets take in corruption messages.
inline std::string hex32(std::uint32_t value) {
  constexpr std::string_view kDigits = "0123456789ABCDEF";
  std::string out = "0x00000000";
  for (std::size_t i = 9; value != 0; --i, value >>= 4U)
    out[i] = kDigits[value & 0xFU];
  return out;
}

/// The `Corruption` error with `message`.
inline DatError corruption(std::string message) {
  return DatError(DatError::Corruption{std::move(message)});
}

}  // namespace tallowmere_dat::detail
