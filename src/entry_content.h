#pragma once

// What an entry's stored bytes hold: the size a compressed entry declares and its decoding.
// The archive's retrievals use these after reading the bytes; readers that already hold them
// (a diff reading both archives) use them to get the same results without reading again.

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "tallowmere_dat/dat_file_entry.h"
#include "tallowmere_dat/error.h"

namespace tallowmere_dat::detail {

/// The size of `entry`'s file as `DatDatabase::decompressed_size` gives it, from `prefix`, the
/// first bytes the entry stores (at least 4 of them for a compressed entry of 4 bytes or more;
/// not consulted otherwise). Fails with `DecompressionFailed` for a compressed entry of 1 to 3
/// bytes.
[[nodiscard]] std::expected<std::uint32_t, DatError> declared_size(
    const DatFileEntry& entry, std::span<const std::uint8_t> prefix);

/// Decompresses `stored`, the bytes of compressed entry `id`, into `out`. With `verified`, fails
/// with `DecompressionFailed` where the bytes are not empty and don't produce all their prefix
/// declares. Fails with `Io` of kind `OutOfMemory` when the output doesn't fit in memory.
[[nodiscard]] std::expected<void, DatError> decompress_entry(std::uint32_t id,
                                                             std::span<const std::uint8_t> stored,
                                                             std::vector<std::uint8_t>& out,
                                                             bool verified);

}  // namespace tallowmere_dat::detail
