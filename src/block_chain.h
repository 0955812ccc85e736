#pragma once

// The block-chain reader. Every file and every directory node is stored as a chain of blocks of
// the header's `block_size` bytes, each starting with the 4-byte little-endian offset of the next
// block (0 for none), followed by `block_size` - 4 payload bytes.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "tallowmere_dat/chunk_sink.h"
#include "tallowmere_dat/error.h"
#include "tallowmere_dat/io_error.h"

namespace tallowmere_dat::detail {

/// What a chain is read from: positional reads that leave no state behind, so one source may
/// serve several threads at once.
class BlockSource {
 public:
  BlockSource() = default;
  BlockSource(const BlockSource&) = default;
  BlockSource& operator=(const BlockSource&) = default;
  virtual ~BlockSource() = default;

  /// Fills `head` and then `tail` from consecutive positions starting at `offset`, by the rules
  /// of `read_exact_at_compat`: the OS error, or "failed to fill whole buffer" when the data ends
  /// first. Nothing is read when both are empty.
  virtual std::expected<void, IoError> read_at(std::span<std::uint8_t> head,
                                               std::span<std::uint8_t> tail,
                                               std::uint64_t offset) const = 0;

  /// How many bytes the source is expected to hold; for an archive file, its length when it was
  /// opened. It sizes the first allocation of a read and bounds its read-ahead, and a read whose
  /// size exceeds it may not loop (see `read_block_chain`).
  virtual std::uint64_t length_hint() const = 0;
};

/// The last block offset whose payload position (offset + 4) is still below 4 GiB.
inline constexpr std::uint32_t kLastBlockOffset = 0xFFFFFFFB;

/// Brent's cycle detector over the blocks a chain meets, in order. It keeps one block and
/// compares the following ones with it, keeping a new one after twice as many each time, so it
/// notices a block met again within three times the blocks met before the first return, with no
/// memory per block.
class LoopDetector {
 public:
  /// Notes that the chain meets `block` at `position` (bytes produced, or blocks met, so far).
  /// True when `block` is the kept one met again: from `start()` on, the chain repeats itself.
  bool meets(std::uint32_t block, std::uint64_t position) {
    ++met_;
    if (kept_ && kept_block_ == block) return true;
    if (steps_ == span_) {
      kept_ = true;
      kept_block_ = block;
      kept_position_ = position;
      span_ *= 2;
      steps_ = 0;
    }
    ++steps_;
    return false;
  }

  /// The position at which the block met again was first met.
  std::uint64_t start() const { return kept_position_; }
  /// The block met again (the one kept).
  std::uint32_t block() const { return kept_block_; }
  /// How many blocks have been met, repeats included.
  std::uint64_t met() const { return met_; }

 private:
  bool kept_ = false;
  std::uint32_t kept_block_ = 0;
  std::uint64_t kept_position_ = 0;
  std::uint64_t span_ = 1;
  std::uint64_t steps_ = 1;
  std::uint64_t met_ = 0;
};

/// Reads `size` bytes of the chain whose first block is at `offset`: each block's payload in
/// chain order, a block's pointer read only while bytes are still wanted; a pointer of 0 makes
/// everything still wanted one contiguous run from that block's payload on. A chain that comes
/// back to a block already read repeats, from there on, the bytes produced since that block's
/// first visit, period after period (the last one cut short), and still ends after `size` bytes;
/// those bytes are copied, not read again, so a loop costs a few reads per distinct block
/// however often it goes round. Each block costs at most one read: its pointer and payload slice
/// together, straight into the result; and where a block points at the block right after it, one
/// read fetches a window of up to 256 KiB of the blocks ahead, whose pointers are then followed
/// inside it. The bytes and errors are those of reading every pointer and every payload slice on
/// its own: a window that fails is dropped and the block is read exactly.
///
/// Fails with `Io` when a read fails or the data ends first ("failed to fill whole buffer"), and
/// with `Corruption` when a block lies at 0xFFFFFFFC or beyond (its payload position would pass
/// 4 GiB) and its pointer can be read (otherwise that read's `Io` error), when `block_size` is 4
/// or less and a non-zero pointer must be followed, or when `size` exceeds the source's
/// `length_hint` and the chain comes back to a block while bytes are still wanted (the message
/// names the first block and the one the chain comes back to). That last check comes before the
/// repeated bytes are filled in, so a small file can't make the reader allocate gigabytes of
/// them. Errors met before the chain comes back come first. Memory grows with the bytes actually
/// read, not with `size`; when it can't grow further (a chain over overlapping blocks may yield
/// up to 4 GiB) the read fails with an `Io` error of kind `OutOfMemory`. Where `size` exceeds
/// the source's length, the pointers are traced first (up to 32768 blocks), so that a chain
/// that runs past the end, reaches 0xFFFFFFFC or loops fails with its error before any large
/// allocation. Nothing partial is returned.
std::expected<std::vector<std::uint8_t>, DatError> read_block_chain(const BlockSource& source,
                                                                    std::uint32_t block_size,
                                                                    std::uint32_t offset,
                                                                    std::uint32_t size);

/// `read_block_chain` of `buffer.size()` bytes (below 4 GiB) into `buffer`, which takes the
/// place of the result and needs no allocation. Fails as `read_block_chain` does, except that
/// the buffer never has to grow; on failure its content is unspecified.
std::expected<void, DatError> read_block_chain_into(const BlockSource& source,
                                                    std::uint32_t block_size, std::uint32_t offset,
                                                    std::span<std::uint8_t> buffer);

/// `read_block_chain` of `size` bytes into `buffer`, which takes the place of the result: its
/// capacity is used first, and it is reallocated, growing as the result would, only when that
/// is too small. Fails as `read_block_chain` does; on failure its content is unspecified.
[[nodiscard]] std::expected<void, DatError> read_block_chain_into(
    const BlockSource& source, std::uint32_t block_size, std::uint32_t offset, std::uint32_t size,
    std::vector<std::uint8_t>& buffer);

/// The size of a streamed read's buffer, and so the most each chunk holds.
inline constexpr std::size_t kStreamChunk = std::size_t{256} * 1024;

/// `read_block_chain`'s bytes handed to `sink` in order, in chunks of at most `chunk` bytes
/// (positive), through one buffer of that size: memory stays within a few hundred KiB whatever
/// `size` is. A chain
/// that comes back to a block is followed round again rather than kept in memory (a period of
/// up to 64 KiB is kept once and repeated). Where `size` exceeds the source's length, the
/// chain's pointers are traced first (up to 32768 blocks), so that a chain that can't be
/// completed (past the end, at 0xFFFFFFFC or beyond, too small a block, a loop) fails before
/// anything is delivered. Fails with `read_block_chain`'s error for the same chain, except that
/// it never runs out of memory for the result; chunks delivered before a failure stand. A sink
/// that returns false ends the read there, without an error.
std::expected<void, DatError> stream_block_chain(const BlockSource& source,
                                                 std::uint32_t block_size, std::uint32_t offset,
                                                 std::uint32_t size, const ChunkSink& sink,
                                                 std::size_t chunk = kStreamChunk);

}  // namespace tallowmere_dat::detail
