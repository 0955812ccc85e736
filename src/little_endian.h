#pragma once

// The one place where the archive's little-endian numbers are assembled from bytes.

#include <cstdint>
#include <span>

namespace tallowmere_dat::detail {

/// The little-endian u32 in `bytes`.
[[nodiscard]] inline std::uint32_t load_u32_le(std::span<const std::uint8_t, 4> bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8U) |
         (static_cast<std::uint32_t>(bytes[2]) << 16U) |
         (static_cast<std::uint32_t>(bytes[3]) << 24U);
}

}  // namespace tallowmere_dat::detail
