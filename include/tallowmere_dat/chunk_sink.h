#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace tallowmere_dat {

/// Where a streaming read hands a file's bytes: called with each chunk in order (never empty,
/// valid only during the call). Returns true to go on, false to stop the read there; a read
/// stopped this way ends without an error and delivers nothing more.
using ChunkSink = std::function<bool(std::span<const std::uint8_t>)>;

}  // namespace tallowmere_dat
