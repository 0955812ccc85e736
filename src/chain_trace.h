#pragma once

// Following a block chain without reading its payloads: which blocks it occupies, and where and
// why it stops. The integrity check and the annotated dump use it; retrieval does not.

#include <cstdint>
#include <expected>
#include <vector>

#include "block_chain.h"
#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat::detail {

/// One block of a chain as the reader takes it.
struct TracedBlock {
  std::uint32_t offset = 0;
  std::uint32_t pointer = 0;
  /// The file range the reader takes as payload: one slice, or after a 0 pointer with more
  /// bytes wanted, everything still wanted.
  std::uint64_t payload_begin = 0;
  std::uint64_t payload_end = 0;
};

/// Why a chain stopped.
enum class ChainEnd : std::uint8_t {
  Complete,           ///< Every byte wanted is in.
  PastEnd,            ///< The last block's pointer or payload lies past the end of the file.
  Loop,               ///< The chain came back to a block already met (`TracedChain::at`).
  BadOffset,          ///< A block at 0xFFFFFFFC or beyond (`at`), which has no payload position.
  BlockSizeTooSmall,  ///< A non-zero pointer to follow, with a block size that takes no data.
};

struct TracedChain {
  /// The distinct blocks in chain order, up to where it stopped; a block past the end of the
  /// file is included, with its payload range as the reader would ask for it.
  std::vector<TracedBlock> blocks;
  ChainEnd end = ChainEnd::Complete;
  /// The block the chain comes back to (`Loop`) or the unusable offset (`BadOffset`).
  std::uint32_t at = 0;
};

/// Follows the chain of `size` bytes at `offset` as `read_block_chain` does, reading only the
/// pointers: a pointer is read only while bytes are still wanted, and a 0 pointer makes the rest
/// one contiguous run. `length` is the file's length. Stops at the end of the data, at a loop
/// (after at most three passes over its distinct blocks), at an unusable offset, or at the
/// first block that the file doesn't hold in full. Fails only when a pointer inside the file
/// can't be read (the OS error).
[[nodiscard]] std::expected<TracedChain, IoError> trace_chain(const BlockSource& source,
                                                              std::uint32_t block_size,
                                                              std::uint32_t offset,
                                                              std::uint32_t size,
                                                              std::uint64_t length);

/// The number of runs of adjacent blocks (each starting where the one before it ends) in
/// `chain`: 1 for a contiguous chain, 0 for an empty one.
[[nodiscard]] std::size_t run_count(const TracedChain& chain, std::uint32_t block_size);

}  // namespace tallowmere_dat::detail
