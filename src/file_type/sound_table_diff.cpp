#include <algorithm>
#include <bit>

#include "tallowmere_dat/diff.h"

namespace tallowmere_dat {
namespace {

using file_type::SoundData;
using file_type::SoundEntry;
using file_type::SoundHashData;

// Equality by bits: a table read twice must compare equal, NaN payloads and all, and a changed
// sign of zero is a change.
bool same_bits(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}
bool same_bits(const SoundHashData& a, const SoundHashData& b) {
  return same_bits(a.priority, b.priority) && same_bits(a.probability, b.probability) &&
         same_bits(a.volume, b.volume);
}
bool same_bits(const SoundEntry& a, const SoundEntry& b) {
  return a.wave_did == b.wave_did && same_bits(a.priority, b.priority) &&
         same_bits(a.probability, b.probability) && same_bits(a.volume, b.volume);
}
bool same_bits(const SoundData& a, const SoundData& b) {
  return a.unknown == b.unknown &&
         std::ranges::equal(a.entries, b.entries, [](const SoundEntry& x, const SoundEntry& y) {
           return same_bits(x, y);
         });
}

/// The records of two maps that differ, in one merge pass over their ascending keys.
template <typename Value>
std::vector<RecordChange<Value>> record_changes(const FlatMap<std::uint32_t, Value>& old_map,
                                                const FlatMap<std::uint32_t, Value>& new_map) {
  std::vector<RecordChange<Value>> changes;
  auto a = old_map.begin();
  auto b = new_map.begin();
  while (a != old_map.end() || b != new_map.end()) {
    if (b == new_map.end() || (a != old_map.end() && a->first < b->first)) {
      changes.push_back({a->first, a->second, std::nullopt});
      ++a;
    } else if (a == old_map.end() || b->first < a->first) {
      changes.push_back({b->first, std::nullopt, b->second});
      ++b;
    } else {
      if (!same_bits(a->second, b->second)) changes.push_back({a->first, a->second, b->second});
      ++a;
      ++b;
    }
  }
  return changes;
}

template <typename T>
std::optional<ValueChange<T>> value_change(T old_value, T new_value) {
  if (old_value == new_value) return std::nullopt;
  return ValueChange<T>{old_value, new_value};
}

}  // namespace

SoundTableDiff diff_sound_tables(const file_type::SoundTable& old_table,
                                 const file_type::SoundTable& new_table) {
  return {.id = value_change(old_table.id, new_table.id),
          .hash_key = value_change(old_table.hash_key, new_table.hash_key),
          .hashes = record_changes(old_table.hashes, new_table.hashes),
          .sounds = record_changes(old_table.sounds, new_table.sounds)};
}

}  // namespace tallowmere_dat
