#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "tallowmere_dat/error.h"

namespace tallowmere_dat {

/// Decompresses the stored bytes of a compressed entry: a 4-byte little-endian output size,
/// then groups of one control byte (flags used from bit 7 down: 0 a literal byte, 1 a two-byte
/// back-reference of 2 to 17 bytes from up to 4095 bytes back, distance 0 ending the stream)
/// and up to eight tokens.
///
/// Reports nothing wrong with the data: an input shorter than 4 bytes is returned unchanged. The
/// result is never longer than the declared size; a truncated or malformed stream, an end marker,
/// or a back-reference met while nothing has been produced yet ends decoding with the bytes
/// produced so far. A back-reference reaching before the start copies the first byte until the
/// output is long enough. Memory is bounded by what `input` can produce (at most eight times its
/// length), whatever the prefix declares; when even that can't be had, `std::bad_alloc` is
/// thrown (the archive's own retrievals return it as `Io` of kind `OutOfMemory`).
[[nodiscard]] std::vector<std::uint8_t> decompress_lrs(std::span<const std::uint8_t> input);

/// `decompress_lrs` into `output`, whose previous content is replaced and whose capacity is
/// reused: it is reallocated, to exactly what decoding may need, only when that capacity is too
/// small. Returns the size the prefix declares, or nullopt when `input` is shorter than 4 bytes
/// (`output` is then a copy of it). A complete decoding leaves `output` exactly that long; a
/// shorter `output` means the stream ended early. Never fails, beyond `std::bad_alloc` when
/// memory runs out (`output` is then left valid, its content unspecified).
[[nodiscard]] std::optional<std::uint32_t> decompress_lrs_into(std::span<const std::uint8_t> input,
                                                               std::vector<std::uint8_t>& output);

/// `decompress_lrs` into the caller's `output`, which bounds the result instead of the prefix:
/// the stream after `input`'s 4-byte prefix (not consulted) is decoded until `output` is full or
/// the stream ends. Returns how many bytes of `output` were produced; 0 when `input` is shorter
/// than 4 bytes. Never fails and never allocates.
[[nodiscard]] std::size_t decompress_lrs_to(std::span<const std::uint8_t> input,
                                            std::span<std::uint8_t> output);

/// The verified decompression of file `id`'s stored bytes `stored` (as `read_file_data` gives
/// them for a compressed entry) into `out`, which must be as long as their prefix declares (0 for
/// empty `stored`): what `get_file_verified_into` does once the bytes are read. Fails with
/// `DecompressionFailed` carrying `id` when `stored` is 1 to 3 bytes or its stream gives fewer
/// bytes than declared, and with `Other` when `out` is not the declared size. On failure `out`
/// holds unspecified bytes.
[[nodiscard]] std::expected<void, DatError> decompress_verified_into(
    std::uint32_t id, std::span<const std::uint8_t> stored, std::span<std::uint8_t> out);

}  // namespace tallowmere_dat
