#pragma once

// A large read-ahead over an archive for readers that move through it in ascending offset
// order: a few hundred large reads serve what would otherwise cost one or more reads per file.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "block_chain.h"

namespace tallowmere_dat::detail {

/// Another source seen through one window of its bytes, which `cover` moves forward. Reads that
/// lie inside the window are copied out of it; every other read goes to the source itself, so
/// the bytes and errors are always those of the source (a window that can't be read is simply
/// not held). Unlike other sources it has state: one reader, one thread.
class WindowSource final : public BlockSource {
 public:
  /// The window's size: large enough that its reads cost little per byte, small enough to stay
  /// out of the way of the files read through it.
  static constexpr std::size_t kCapacity = std::size_t{4} << 20;

  /// `base` must outlive the window. The window's memory is taken at the first `cover`: at most
  /// `kCapacity`, and no more than the source's length hint.
  explicit WindowSource(const BlockSource& base) : base_(base) {}

  /// Makes the window hold `extent` bytes from `offset` (as far as the source's length hint
  /// goes), reading the window's size from `offset` when it doesn't already; extents larger than
  /// the window are left to the source. A read that fails leaves the window empty.
  void cover(std::uint64_t offset, std::uint64_t extent);

  std::expected<void, IoError> read_at(std::span<std::uint8_t> head, std::span<std::uint8_t> tail,
                                       std::uint64_t offset) const override;
  std::uint64_t length_hint() const override { return base_.length_hint(); }

 private:
  bool holds(std::uint64_t offset, std::uint64_t count) const {
    return offset >= start_ && offset - start_ <= held_ && count <= held_ - (offset - start_);
  }

  const BlockSource& base_;
  std::vector<std::uint8_t> window_;
  std::uint64_t start_ = 0;
  std::size_t held_ = 0;
};

/// The bytes a chain of `size` bytes from `offset` spans when its blocks are adjacent: where a
/// window must reach for such a chain to be read from it alone.
[[nodiscard]] std::uint64_t contiguous_extent(std::uint32_t block_size, std::uint32_t size);

}  // namespace tallowmere_dat::detail
