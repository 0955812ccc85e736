#pragma once

// Following a block chain without reading its payloads: which blocks it occupies, and where and
// why it stops. This is the one place that decides when a chain has come back to a block: the
// integrity check, the annotated dump, the directory scan and the reader's loop guard use it.

#include <cstdint>
#include <expected>
#include <limits>
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
  OverBudget,         ///< More blocks than the caller allowed; `at` is the next one.
};

struct TracedChain {
  /// The distinct blocks in chain order, up to where it stopped; a block past the end of the
  /// file is included, with its payload range as the reader would ask for it.
  std::vector<TracedBlock> blocks;
  ChainEnd end = ChainEnd::Complete;
  /// The block the chain comes back to (`Loop`), the unusable offset (`BadOffset`) or the first
  /// block not traced (`OverBudget`).
  std::uint32_t at = 0;
};

/// Follows the chain of `size` bytes at `offset` as `read_block_chain` does, reading only the
/// pointers (through a small read-ahead, so adjacent blocks cost no read each): a pointer is
/// read only while bytes are still wanted, and a 0 pointer makes the rest one contiguous run.
/// `length` is the file's length. Stops at the end of the data; at the first block met a
/// second time (`Loop`, exactly there); at an unusable offset; at the first block that the file
/// doesn't hold in full; or before the block that would exceed `max_blocks`. With `payload`, the
/// payload bytes of the blocks traced are appended to it, each block's pointer and payload read
/// together. Fails only when a read inside the file fails (the OS error), or with `OutOfMemory`.
[[nodiscard]] std::expected<TracedChain, IoError> trace_chain(
    const BlockSource& source, std::uint32_t block_size, std::uint32_t offset, std::uint32_t size,
    std::uint64_t length, std::uint64_t max_blocks = std::numeric_limits<std::uint64_t>::max(),
    std::vector<std::uint8_t>* payload = nullptr);

/// The number of runs of adjacent blocks (each starting where the one before it ends) in
/// `chain`: 1 for a contiguous chain, 0 for an empty one.
[[nodiscard]] std::size_t run_count(const TracedChain& chain, std::uint32_t block_size);

}  // namespace tallowmere_dat::detail
