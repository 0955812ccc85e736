#include "chain_trace.h"

#include <algorithm>
#include <array>
#include <new>
#include <set>
#include <span>

#include "little_endian.h"

namespace tallowmere_dat::detail {
namespace {

constexpr std::uint32_t kPointerSize = 4;

/// The blocks a chain has met, checked exactly for a return. Most chains are a few runs of
/// adjacent blocks, kept as runs and scanned; a chain of many runs moves to an ordered set, whose
/// cost can't be driven up by the offsets a file chooses, as a hash table's could.
class VisitedBlocks {
 public:
  explicit VisitedBlocks(std::uint32_t block_size) : block_size_(block_size) {}

  /// Notes `block`; true when it was met before.
  bool meet(std::uint32_t block) {
    if (!many_.empty()) return !many_.insert(block).second;
    for (const Run& run : runs_) {
      if (run.holds(block, block_size_)) return true;
    }
    if (!runs_.empty() && std::uint64_t{runs_.back().last} + block_size_ == block) {
      runs_.back().last = block;
      return false;
    }
    if (runs_.size() == kMaxRuns) {
      for (const Run& run : runs_) {
        for (std::uint64_t at = run.first; at <= run.last; at += std::max(block_size_, 1U))
          many_.insert(static_cast<std::uint32_t>(at));
      }
      runs_.clear();
      return !many_.insert(block).second;
    }
    runs_.push_back({block, block});
    return false;
  }

 private:
  struct Run {
    std::uint32_t first;
    std::uint32_t last;
    bool holds(std::uint32_t block, std::uint32_t step) const {
      return first <= block && block <= last && (step == 0 || (block - first) % step == 0);
    }
  };
  static constexpr std::size_t kMaxRuns = 16;
  std::uint32_t block_size_;
  std::vector<Run> runs_;
  std::set<std::uint32_t> many_;
};

/// A chain's bytes through a small window: where its blocks lie close together, one read serves
/// many of them, and a block on its own costs one read of its pointer and payload together. A
/// window that can't be read is dropped and the bytes are read on their own, so the errors are
/// those of reading each pointer and payload exactly.
class ChainBytes {
 public:
  ChainBytes(const BlockSource& source, std::uint64_t length) : source_(source), length_(length) {}

  /// The pointer of the block at `block`; `span` is how many bytes from `block` on the chain
  /// is expected to want next (at least the pointer), which a read of the window covers.
  std::expected<std::uint32_t, IoError> pointer(std::uint32_t block, std::uint64_t span) {
    if (!holds(block, kPointerSize)) fill(block, span);
    if (holds(block, kPointerSize)) {
      return load_u32_le(std::span(window_).subspan(block - base_).first<kPointerSize>());
    }
    std::array<std::uint8_t, kPointerSize> pointer{};
    if (auto read = source_.read_at(pointer, {}, block); !read) {
      return std::unexpected(std::move(read.error()));
    }
    return load_u32_le(pointer);
  }

  /// Appends the `count` bytes at `at` to `out`.
  std::expected<void, IoError> append(std::uint64_t at, std::uint64_t count,
                                      std::vector<std::uint8_t>& out) {
    const std::size_t from = out.size();
    out.resize(from + static_cast<std::size_t>(count));
    const std::span<std::uint8_t> into = std::span(out).subspan(from);
    if (holds(at, count)) {
      std::ranges::copy(std::span(window_).subspan(at - base_, into.size()), into.begin());
      return {};
    }
    return source_.read_at(into, {}, at);
  }

 private:
  bool holds(std::uint64_t at, std::uint64_t count) const {
    return at >= base_ && at + count <= base_ + held_;
  }

  void fill(std::uint32_t block, std::uint64_t span) {
    held_ = 0;
    if (block >= length_) return;
    const auto size =
        static_cast<std::size_t>(std::min({std::max<std::uint64_t>(span, kPointerSize),
                                           std::uint64_t{window_.size()}, length_ - block}));
    if (size >= kPointerSize && source_.read_at(std::span(window_).first(size), {}, block)) {
      base_ = block;
      held_ = size;
    }
  }

  const BlockSource& source_;
  std::uint64_t length_;
  std::array<std::uint8_t, 16384> window_{};
  std::uint64_t base_ = 0;
  std::size_t held_ = 0;
};

}  // namespace

std::expected<TracedChain, IoError> trace_chain(const BlockSource& source, std::uint32_t block_size,
                                                std::uint32_t offset, std::uint32_t size,
                                                std::uint64_t length, std::uint64_t max_blocks,
                                                std::vector<std::uint8_t>* payload) {
  try {
    TracedChain chain;
    const std::uint64_t slice_limit = block_size > kPointerSize ? block_size - kPointerSize : 0;
    VisitedBlocks visited(block_size);
    ChainBytes bytes(source, length);
    std::uint64_t remaining = size;
    std::uint32_t current = offset;
    // The first block counts as adjacent: a chain written in one go is likely to be a run.
    bool adjacent = true;
    while (remaining > 0) {
      if (chain.blocks.size() >= max_blocks) {
        chain.end = ChainEnd::OverBudget;
        chain.at = current;
        return chain;
      }
      if (visited.meet(current)) {
        chain.end = ChainEnd::Loop;
        chain.at = current;
        return chain;
      }
      if (current > kLastBlockOffset) {
        chain.end = ChainEnd::BadOffset;
        chain.at = current;
        return chain;
      }
      const std::uint64_t payload_at = std::uint64_t{current} + kPointerSize;
      if (payload_at > length) {
        chain.blocks.push_back({.offset = current,
                                .payload_begin = payload_at,
                                .payload_end = payload_at + std::min(remaining, slice_limit)});
        chain.end = ChainEnd::PastEnd;
        return chain;
      }
      // As far as the chain reaches if it stays a run; else this block's own bytes.
      const std::uint64_t run = slice_limit == 0 ? 0
                                                 : (remaining + slice_limit - 1) / slice_limit *
                                                       std::uint64_t{block_size};
      const std::uint64_t own =
          payload != nullptr ? kPointerSize + std::min(remaining, slice_limit) : kPointerSize;
      const auto next = bytes.pointer(current, adjacent ? std::max(run, own) : own);
      if (!next) return std::unexpected(next.error());
      const std::uint64_t taken = *next == 0 ? remaining : std::min(remaining, slice_limit);
      chain.blocks.push_back({.offset = current,
                              .pointer = *next,
                              .payload_begin = payload_at,
                              .payload_end = payload_at + taken});
      if (payload_at + taken > length) {
        chain.end = ChainEnd::PastEnd;
        return chain;
      }
      if (payload != nullptr) {
        if (auto read = bytes.append(payload_at, taken, *payload); !read) {
          return std::unexpected(std::move(read.error()));
        }
      }
      remaining -= taken;
      if (remaining > 0 && taken == 0) {
        chain.end = ChainEnd::BlockSizeTooSmall;
        return chain;
      }
      adjacent = std::uint64_t{*next} == std::uint64_t{current} + block_size;
      current = *next;
    }
    return chain;
  } catch (const std::bad_alloc&) {
    return std::unexpected(IoError::with_message(IoErrorKind::OutOfMemory,
                                                 "memory allocation failed tracing a block chain"));
  }
}

std::size_t run_count(const TracedChain& chain, std::uint32_t block_size) {
  std::size_t runs = 0;
  for (std::size_t i = 0; i < chain.blocks.size(); ++i) {
    const bool follows = i > 0 && std::uint64_t{chain.blocks[i].offset} ==
                                      std::uint64_t{chain.blocks[i - 1].offset} + block_size;
    runs += follows ? 0 : 1;
  }
  return runs;
}

}  // namespace tallowmere_dat::detail
