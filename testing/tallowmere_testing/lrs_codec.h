#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tallowmere_testing {

/// Compresses `data` into a complete LRS stream: the 4-byte little-endian output size, then
/// control bytes and tokens. A greedy matcher over the 4095-byte reach of a back-reference; it
/// never writes an end marker, never refers before the start of the data, and emits no control
/// byte that no token follows. Aborts if `data` is 4 GiB or longer (the prefix cannot hold it).
std::vector<std::uint8_t> lrs_compress(std::span<const std::uint8_t> data);

/// The plain LRS decoder the fast one is checked against: one token and one byte at a time,
/// exactly as the format describes, with every length checked. Never fails: a short,
/// malformed or lying stream yields the output produced before it stopped, a back-reference
/// met while the output is still empty included, and an input shorter than 4 bytes is returned
/// unchanged.
std::vector<std::uint8_t> decompress_lrs_reference(std::span<const std::uint8_t> input);

}  // namespace tallowmere_testing
