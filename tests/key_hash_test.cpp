#include "tallowmere_dat/key_hash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <unordered_map>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

template <typename Map>
std::size_t largest_bucket(const Map& map) {
  std::size_t largest = 0;
  for (std::size_t b = 0; b < map.bucket_count(); ++b)
    largest = std::max(largest, map.bucket_size(b));
  return largest;
}

TEST(KeyHashTest, DirectoryIdentifiersChosenToCollideAreSpreadOut) {
  std::unordered_map<std::uint32_t, int> plain;
  for (std::uint32_t i = 0; i < 3000; ++i)
    plain.emplace(i, 0);  // grows as the walk's map does
  const std::uint32_t buckets = static_cast<std::uint32_t>(plain.bucket_count());
  tallowmere_testing::ArchiveBuilder builder({.block_size = 512, .spare_percent = 0});
  for (std::uint32_t i = 0; i < 3000; ++i)
    builder.add_file(i * buckets, {});
  const tallowmere_testing::TempFile file(builder.build().bytes);
  const auto db = DatDatabase::open(file.path());
  ASSERT_TRUE(db.has_value()) << db.error().debug();
  EXPECT_EQ(db->files().size(), 3000U);
  EXPECT_LE(largest_bucket(db->files()), 16U);
}

TEST(KeyHashTest, IsAFunctionOfTheKey) {
  const KeyHash hash;
  EXPECT_EQ(hash(0x20000001), hash(0x20000001));
  EXPECT_NE(hash(0x20000001), hash(0x20000002));
}

}  // namespace
}  // namespace tallowmere_dat
