#include "chain_trace.h"

#include <algorithm>
#include <array>

#include "little_endian.h"

namespace tallowmere_dat::detail {
namespace {

constexpr std::uint32_t kPointerSize = 4;

/// Cuts `chain`, whose last block is the one at index `first_met` met again, back to its
/// distinct blocks, and records where the loop enters.
void end_at_loop(TracedChain& chain, std::uint64_t first_met) {
  const auto period = static_cast<std::size_t>(chain.blocks.size() - 1 - first_met);
  std::size_t entry = 0;
  while (chain.blocks[entry].offset != chain.blocks[entry + period].offset)
    ++entry;
  chain.blocks.resize(entry + period);
  chain.end = ChainEnd::Loop;
  chain.at = chain.blocks[entry].offset;
}

}  // namespace

std::expected<TracedChain, IoError> trace_chain(const BlockSource& source, std::uint32_t block_size,
                                                std::uint32_t offset, std::uint32_t size,
                                                std::uint64_t length) {
  TracedChain chain;
  const std::uint64_t slice_limit = block_size > kPointerSize ? block_size - kPointerSize : 0;
  LoopDetector loop;
  std::uint64_t remaining = size;
  std::uint32_t current = offset;
  while (remaining > 0) {
    if (loop.meets(current, chain.blocks.size())) {
      // The detector's kept block was met at index `start()`: the chain repeats from there.
      chain.blocks.push_back({.offset = current});
      end_at_loop(chain, loop.start());
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
    std::array<std::uint8_t, kPointerSize> pointer{};
    if (auto read = source.read_at(pointer, {}, current); !read) {
      return std::unexpected(std::move(read.error()));
    }
    const std::uint32_t next = load_u32_le(pointer);
    const std::uint64_t taken = next == 0 ? remaining : std::min(remaining, slice_limit);
    chain.blocks.push_back({.offset = current,
                            .pointer = next,
                            .payload_begin = payload_at,
                            .payload_end = payload_at + taken});
    if (payload_at + taken > length) {
      chain.end = ChainEnd::PastEnd;
      return chain;
    }
    remaining -= taken;
    if (remaining > 0 && taken == 0) {
      chain.end = ChainEnd::BlockSizeTooSmall;
      return chain;
    }
    current = next;
  }
  return chain;
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
