#pragma once

// The shape of sound table that the benchmark archive holds and the decode benchmark decodes.

#include <array>
#include <cstdint>
#include <vector>

#include "tallowmere_testing/random.h"
#include "tallowmere_testing/sound_table_writer.h"

namespace tallowmere_bench {

/// A sound table of the usual shape: a few hash records and 4 to 40 slots spread over keys
/// 0x01 to 0xA0 (so many touch the environ and ambient ranges), each with 0 to 4 waves.
inline std::vector<std::uint8_t> usual_sound_table(std::uint32_t id,
                                                   tallowmere_testing::Random& random) {
  using tallowmere_dat::file_type::SoundEntry;
  tallowmere_testing::SoundTableLayout table_layout{
      .id = id, .hash_key = static_cast<std::int32_t>(random.between(0, 99))};
  for (std::uint32_t n = random.between(0, 12); n > 0; --n) {
    table_layout.hashes.push_back({.key = random.between(1, 0xFFFF), .data = {1.0F, 0.5F, 0.8F}});
  }
  std::array<bool, 0xA1> taken{};
  for (std::uint32_t n = random.between(4, 40); n > 0; --n) {
    const std::uint32_t key = random.between(1, 0xA0);
    if (taken[key]) continue;
    taken[key] = true;
    tallowmere_testing::SoundRecordLayout record{.key = key};
    const std::uint32_t waves = random.between(0, 9) == 0 ? 0 : random.between(1, 4);
    for (std::uint32_t w = 0; w < waves; ++w) {
      record.data.entries.push_back(SoundEntry{0x0A000000 + random.between(0, 0xFFFFF), 1.0F,
                                               static_cast<float>(random.between(1, 4)) / 4.0F,
                                               0.75F});
    }
    table_layout.sounds.push_back(std::move(record));
  }
  return tallowmere_testing::encode_sound_table(table_layout);
}

}  // namespace tallowmere_bench
