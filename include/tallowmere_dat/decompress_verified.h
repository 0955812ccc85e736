#pragma once

// Verified decompression: a compressed file's stored bytes decoded into the caller's buffer, and
// checked against the size their prefix declares, as verified retrieval does.

#include <cstdint>
#include <expected>
#include <span>

#include "tallowmere_dat/error.h"

namespace tallowmere_dat {

/// The verified decompression of file `id`'s stored bytes `stored` (as `read_file_data` gives
/// them for a compressed entry) into `out`, which must be as long as their prefix declares (0 for
/// empty `stored`): what `get_file_verified_into` does once the bytes are read. Fails with
/// `DecompressionFailed` carrying `id` when `stored` is 1 to 3 bytes or its stream gives fewer
/// bytes than declared, and with `Other` when `out` is not the declared size. On failure `out`
/// holds unspecified bytes.
[[nodiscard]] std::expected<void, DatError> decompress_verified_into(
    std::uint32_t id, std::span<const std::uint8_t> stored, std::span<std::uint8_t> out);

}  // namespace tallowmere_dat
