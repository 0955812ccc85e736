#pragma once

// Encodes sound-table files for tests, benchmarks, fuzzers and the sample archive. The input
// keeps record order and allows what a decoded table can't express: repeated keys, declared
// counts that disagree with the records, and bytes after the last record.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "tallowmere_dat/file_type/sound_table.h"

namespace tallowmere_testing {

/// A hash record as written: its key, then its three f32.
struct HashRecordLayout {
  std::uint32_t key = 0;
  tallowmere_dat::file_type::SoundHashData data{};
};

/// A sound record as written: its key, the entry count, the entries and `unknown`.
struct SoundRecordLayout {
  std::uint32_t key = 0;
  tallowmere_dat::file_type::SoundData data{};
  // GCC 12 warns about designated initializers that skip a member without an initializer.
  // NOLINTBEGIN(readability-redundant-member-init)
  /// The entry count written instead of `data.entries.size()`; the entries written are still
  /// exactly `data.entries`.
  std::optional<std::uint32_t> declared_entries{};
  // NOLINTEND(readability-redundant-member-init)
};

/// A sound-table file as written, records in the order given; keys may repeat.
struct SoundTableLayout {
  std::uint32_t id = 0;
  std::int32_t hash_key = 0;
  // GCC 12 warns about designated initializers that skip a member without an initializer.
  // NOLINTBEGIN(readability-redundant-member-init)
  std::vector<HashRecordLayout> hashes{};
  std::vector<SoundRecordLayout> sounds{};
  /// The counts written instead of the number of records given (H and S).
  std::optional<std::int32_t> declared_hashes{};
  std::optional<std::int32_t> declared_sounds{};
  std::vector<std::uint8_t> trailing{};  ///< Written after the last sound record.
  // NOLINTEND(readability-redundant-member-init)
};

namespace detail {

inline void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (unsigned shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}
inline void put_i32(std::vector<std::uint8_t>& out, std::int32_t value) {
  put_u32(out, std::bit_cast<std::uint32_t>(value));
}
inline void put_f32(std::vector<std::uint8_t>& out, float value) {
  put_u32(out, std::bit_cast<std::uint32_t>(value));
}

inline bool same_bits(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}
inline bool same_bits(const tallowmere_dat::file_type::SoundHashData& a,
                      const tallowmere_dat::file_type::SoundHashData& b) {
  return same_bits(a.priority, b.priority) && same_bits(a.probability, b.probability) &&
         same_bits(a.volume, b.volume);
}
inline bool same_bits(const tallowmere_dat::file_type::SoundEntry& a,
                      const tallowmere_dat::file_type::SoundEntry& b) {
  return a.wave_did == b.wave_did && same_bits(a.priority, b.priority) &&
         same_bits(a.probability, b.probability) && same_bits(a.volume, b.volume);
}
inline bool same_bits(const tallowmere_dat::file_type::SoundData& a,
                      const tallowmere_dat::file_type::SoundData& b) {
  return a.unknown == b.unknown &&
         std::ranges::equal(a.entries, b.entries,
                            [](const auto& x, const auto& y) { return same_bits(x, y); });
}
template <typename Map>
bool same_bits_by_key(const Map& a, const Map& b) {
  return std::ranges::equal(a, b, [](const auto& x, const auto& y) {
    return x.first == y.first && same_bits(x.second, y.second);
  });
}

}  // namespace detail

/// Appends the encoding of `table_layout` to `out`.
inline void append_sound_table(std::vector<std::uint8_t>& out,
                               const SoundTableLayout& table_layout) {
  detail::put_u32(out, table_layout.id);
  detail::put_i32(out, table_layout.hash_key);
  detail::put_i32(out, table_layout.declared_hashes.value_or(
                           static_cast<std::int32_t>(table_layout.hashes.size())));
  for (const HashRecordLayout& record : table_layout.hashes) {
    detail::put_u32(out, record.key);
    detail::put_f32(out, record.data.priority);
    detail::put_f32(out, record.data.probability);
    detail::put_f32(out, record.data.volume);
  }
  detail::put_i32(out, table_layout.declared_sounds.value_or(
                           static_cast<std::int32_t>(table_layout.sounds.size())));
  for (const SoundRecordLayout& record : table_layout.sounds) {
    detail::put_u32(out, record.key);
    detail::put_u32(out, record.declared_entries.value_or(
                             static_cast<std::uint32_t>(record.data.entries.size())));
    for (const auto& entry : record.data.entries) {
      detail::put_u32(out, entry.wave_did);
      detail::put_f32(out, entry.priority);
      detail::put_f32(out, entry.probability);
      detail::put_f32(out, entry.volume);
    }
    detail::put_i32(out, record.data.unknown);
  }
  out.insert(out.end(), table_layout.trailing.begin(), table_layout.trailing.end());
}

/// The encoding of `table_layout`.
inline std::vector<std::uint8_t> encode_sound_table(const SoundTableLayout& table_layout) {
  std::vector<std::uint8_t> out;
  append_sound_table(out, table_layout);
  return out;
}

/// The description that encodes `table` canonically: each map's records by ascending key, counts
/// matching, no trailing bytes.
inline SoundTableLayout layout_of(const tallowmere_dat::file_type::SoundTable& table) {
  SoundTableLayout table_layout{.id = table.id, .hash_key = table.hash_key};
  for (const auto& [key, data] : table.hashes)
    table_layout.hashes.push_back({key, data});
  for (const auto& [key, data] : table.sounds)
    table_layout.sounds.push_back({key, data, std::nullopt});
  return table_layout;
}

/// The canonical encoding of `table` (see `layout_of`).
inline std::vector<std::uint8_t> encode_sound_table(
    const tallowmere_dat::file_type::SoundTable& table) {
  return encode_sound_table(layout_of(table));
}

/// True when the tables hold the same keys and values, floats compared by their bits (so a NaN
/// equals the same NaN, and 0.0 differs from -0.0).
inline bool bitwise_equal(const tallowmere_dat::file_type::SoundTable& a,
                          const tallowmere_dat::file_type::SoundTable& b) {
  return a.id == b.id && a.hash_key == b.hash_key && detail::same_bits_by_key(a.hashes, b.hashes) &&
         detail::same_bits_by_key(a.sounds, b.sounds);
}

}  // namespace tallowmere_testing
