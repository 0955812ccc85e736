#include "chain_trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "archive_source.h"
#include "tallowmere_testing/archive_builder.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::ArchiveImage;

// Every planted loop is found exactly where the chain first comes back: loops of 1 to 70 blocks
// behind lead-ins of 0 to 70, adjacent or shuffled, with blocks small enough for a whole chain to
// sit in one read window and large enough for it to span many, and sizes that end just after the
// return, far beyond it, or just before it (no loop met).
TEST(ChainTraceTest, EveryPlantedLoopIsFoundWhereTheChainFirstComesBack) {
  std::mt19937 random(2024);
  const auto uniform = [&](std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(random);
  };
  int looped = 0;
  for (int round = 0; round < 2000; ++round) {
    const std::uint32_t block_size = std::array<std::uint32_t, 4>{5, 16, 700, 4096}[uniform(0, 3)];
    const std::uint32_t slice = block_size - 4;
    const std::uint32_t lead_in = uniform(0, 70);
    const std::uint32_t loop = uniform(1, 70);
    std::vector<std::uint32_t> blocks(lead_in + loop);
    for (std::uint32_t i = 0; i < blocks.size(); ++i)
      blocks[i] = tallowmere_testing::kHeaderEnd + i * block_size;
    if (uniform(0, 1) == 0) std::shuffle(blocks.begin(), blocks.end(), random);
    ArchiveImage image(block_size);
    image.write_chain(blocks, std::vector<std::uint8_t>(blocks.size() * std::size_t{slice}, 7),
                      blocks[lead_in]);
    const detail::MemorySource source(image.bytes());
    const std::uint64_t distinct = std::uint64_t{blocks.size()} * slice;
    const std::uint32_t pick = uniform(0, 2);
    const std::uint64_t size = pick == 0   ? distinct + uniform(1, slice)
                               : pick == 1 ? distinct * uniform(2, 9)
                                           : uniform(1, static_cast<std::uint32_t>(distinct));
    SCOPED_TRACE(::testing::Message() << "round " << round << " block_size " << block_size
                                      << " lead-in " << lead_in << " loop " << loop);
    const auto trace = detail::trace_chain(source, block_size, blocks[0],
                                           static_cast<std::uint32_t>(size), image.bytes().size());
    ASSERT_TRUE(trace);
    const std::uint64_t met = (size + slice - 1) / slice;  // blocks the reader takes
    std::vector<std::uint32_t> traced;
    for (const detail::TracedBlock& block : trace->blocks)
      traced.push_back(block.offset);
    if (met > blocks.size()) {
      ++looped;
      ASSERT_EQ(trace->end, detail::ChainEnd::Loop);
      EXPECT_EQ(trace->at, blocks[lead_in]);
      EXPECT_EQ(traced, blocks);
    } else {
      ASSERT_EQ(trace->end, detail::ChainEnd::Complete);
      EXPECT_EQ(traced, std::vector(blocks.begin(), blocks.begin() + static_cast<long>(met)));
    }
  }
  EXPECT_GT(looped, 1000);
}

TEST(ChainTraceTest, ABudgetStopsTheTraceBeforeTheBlockPastIt) {
  ArchiveImage image(16);
  const std::vector<std::uint32_t> blocks{0x190, 0x1A0, 0x1B0, 0x1C0};
  image.write_chain(blocks, std::vector<std::uint8_t>(48, 1));
  const detail::MemorySource source(image.bytes());
  const auto trace = detail::trace_chain(source, 16, 0x190, 48, image.bytes().size(), 2);
  ASSERT_TRUE(trace);
  EXPECT_EQ(trace->end, detail::ChainEnd::OverBudget);
  EXPECT_EQ(trace->at, 0x1B0U);
  EXPECT_EQ(trace->blocks.size(), 2U);
}

}  // namespace
}  // namespace tallowmere_dat
