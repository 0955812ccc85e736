#include "tallowmere_dat/flat_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace tallowmere_dat {
namespace {

using Map = FlatMap<std::uint32_t, int>;

TEST(FlatMapTest, MatchesAnOrderedMapWhereTheLastRecordWins) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    // Few distinct even keys, so that most rounds repeat some and every odd key is absent. Each
    // value is its record's index, which shows which of the repeated records was kept.
    const auto distinct = static_cast<std::uint32_t>(1 + rng() % 32);
    std::vector<Map::value_type> records;
    std::map<std::uint32_t, int> reference;
    for (auto n = rng() % 40; n > 0; --n) {
      const std::uint32_t key = 2 * static_cast<std::uint32_t>(rng() % distinct);
      const int value = static_cast<int>(records.size());
      records.emplace_back(key, value);
      reference.insert_or_assign(key, value);
    }
    const Map map(records);

    EXPECT_EQ(map.size(), reference.size());
    EXPECT_EQ(map.empty(), reference.empty());
    EXPECT_TRUE(std::ranges::equal(map, reference, [](const auto& a, const auto& b) {
      return a.first == b.first && a.second == b.second;
    }));
    for (std::uint32_t key = 0; key <= 2 * distinct; ++key) {
      const auto expected = reference.find(key);
      const int* found = map.find(key);
      ASSERT_EQ(found != nullptr, expected != reference.end()) << key;
      EXPECT_EQ(map.contains(key), found != nullptr);
      if (found != nullptr) {
        EXPECT_EQ(*found, expected->second) << key;
      }
    }
    EXPECT_EQ(map, Map(std::vector<Map::value_type>(reference.begin(), reference.end())));
    if (!records.empty()) {
      // The last record always wins, so without it some key has another value or is gone.
      records.pop_back();
      EXPECT_NE(map, Map(records));
    }
  }
}

}  // namespace
}  // namespace tallowmere_dat
