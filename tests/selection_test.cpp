#include "tallowmere_dat/selection.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/random.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

using tallowmere_testing::ArchiveBuilder;
using tallowmere_testing::Random;
using tallowmere_testing::TempFile;

TEST(SelectionTest, MatchesIsTheIntersectionOfRangesAndTypes) {
  const Selection everything;
  EXPECT_TRUE(everything.matches(0));
  EXPECT_TRUE(everything.matches(0xFFFFFFFF));
  const Selection s{.ranges = {{0x06000000, 0x20000001}, {0x30000000, 0x30000000}},
                    .types = {0x20, 0x30}};
  EXPECT_FALSE(s.matches(0x06000000));  // in range, wrong type
  EXPECT_TRUE(s.matches(0x20000001));
  EXPECT_FALSE(s.matches(0x20000002));  // right type, out of range
  EXPECT_TRUE(s.matches(0x30000000));
}

// `select` cuts runs out of the sorted index by binary search; `matches` is the plain rule it must
// agree with, over random indexes and random, overlapping selections.
TEST(SelectionTest, SelectAgreesWithMatchesOnRandomSelections) {
  Random random(0x5E1EC7);
  ArchiveBuilder builder;
  const std::vector<std::uint8_t> types{0x00, 0x06, 0x20, 0x21, 0xFF};
  for (int i = 0; i < 300; ++i) {
    const std::uint8_t type = types[random.below(types.size())];
    builder.add_file((std::uint32_t{type} << 24U) | random.between(0, 40), {1});
  }
  const auto archive = builder.build();
  const TempFile file(archive.bytes);
  auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db);
  for (int round = 0; round < 500; ++round) {
    Selection s;
    for (std::uint64_t n = random.below(4); n > 0; --n) {
      const std::uint8_t type = types[random.below(types.size())];
      const std::uint32_t a = (std::uint32_t{type} << 24U) | random.between(0, 45);
      const std::uint32_t b = random.below(4) == 0 ? 0xFFFFFFFF : a + random.between(0, 30);
      s.ranges.push_back({a, b});
    }
    for (std::uint64_t n = random.below(3); n > 0; --n)
      s.types.push_back(types[random.below(types.size())]);
    std::vector<const DatFileEntry*> expected;
    for (const DatFileEntry& e : db->files()) {
      if (s.matches(e.id)) expected.push_back(&e);
    }
    ASSERT_EQ(s.select(db->files()), expected) << "round " << round;
  }
}

}  // namespace
}  // namespace tallowmere_dat
