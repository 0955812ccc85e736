#include "tallowmere_dat/key_hash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_testing/archive_builder.h"
#include "tallowmere_testing/sound_table_writer.h"
#include "tallowmere_testing/temp_file.h"

namespace tallowmere_dat {
namespace {

/// Keys that the identity hash would put into one bucket of a map that has reserved room for
/// `count` of them: multiples of that map's bucket count.
std::vector<std::uint32_t> colliding_keys(std::size_t count) {
  std::unordered_map<std::uint32_t, int> plain;
  plain.reserve(count);
  const std::uint64_t buckets = plain.bucket_count();
  std::vector<std::uint32_t> keys;
  for (std::uint64_t k = 0; keys.size() < count && k * buckets <= 0xFFFFFFFF; ++k) {
    keys.push_back(static_cast<std::uint32_t>(k * buckets));
  }
  return keys;
}

template <typename Map>
std::size_t largest_bucket(const Map& map) {
  std::size_t largest = 0;
  for (std::size_t b = 0; b < map.bucket_count(); ++b)
    largest = std::max(largest, map.bucket_size(b));
  return largest;
}

TEST(KeyHashTest, SoundTableKeysChosenToCollideAreSpreadOut) {
  const std::vector<std::uint32_t> keys = colliding_keys(20000);
  ASSERT_EQ(keys.size(), 20000U);
  tallowmere_testing::SoundTableSpec table_spec{.id = 1};
  for (const std::uint32_t key : keys) {
    table_spec.hashes.push_back({.key = key});
    table_spec.sounds.push_back({.key = key});
  }
  const auto bytes = tallowmere_testing::encode_sound_table(table_spec);
  Cursor cursor(bytes);
  const auto table = file_type::SoundTable::read(cursor);
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(table->sounds.size(), keys.size());
  EXPECT_EQ(table->hashes.size(), keys.size());
  // With the identity hash every key would share one bucket.
  EXPECT_LE(largest_bucket(table->sounds), 16U);
  EXPECT_LE(largest_bucket(table->hashes), 16U);
}

TEST(KeyHashTest, IsAFunctionOfTheKey) {
  const KeyHash hash;
  EXPECT_EQ(hash(0x20000001), hash(0x20000001));
  EXPECT_NE(hash(0x20000001), hash(0x20000002));
}

}  // namespace
}  // namespace tallowmere_dat
