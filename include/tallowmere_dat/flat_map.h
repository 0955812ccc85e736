#pragma once

// A read-only map kept as one array sorted by key. Decoded records are built once and then only
// looked up and walked: a sorted array does both without hashing (so keys chosen by a file can't
// crowd one bucket), walks in the same ascending order on every run, and costs one allocation.

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

namespace tallowmere_dat {

/// Keys of type `Key`, each with one `Value`, in ascending key order. Immutable once built.
template <std::totally_ordered Key, typename Value>
class FlatMap {
 public:
  using value_type = std::pair<Key, Value>;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  /// An empty map.
  FlatMap() = default;

  /// The map of `records`, given in any order (a file's, say): of records with equal keys the
  /// last one given is kept. Takes over `records`' storage; sorting may ask for a temporary
  /// buffer of up to its size, and falls back to sorting in place when none is available.
  explicit FlatMap(std::vector<value_type> records) : items_(std::move(records)) {
    // Reversed, the later of two equal keys comes first; the stable sort keeps it first and
    // `unique` keeps the first of each run.
    std::ranges::reverse(items_);
    std::ranges::stable_sort(items_, std::ranges::less{}, &value_type::first);
    const auto duplicates =
        std::ranges::unique(items_, std::ranges::equal_to{}, &value_type::first);
    items_.erase(duplicates.begin(), duplicates.end());
  }

  /// As the constructor from a vector: of equal keys the last one listed is kept.
  FlatMap(std::initializer_list<value_type> records) : FlatMap(std::vector<value_type>(records)) {}

  /// The value under `key`, or nullptr when the map has no such key. Valid while the map lives.
  const Value* find(const Key& key) const {
    const auto it = std::ranges::lower_bound(items_, key, std::ranges::less{}, &value_type::first);
    return it != items_.end() && it->first == key ? &it->second : nullptr;
  }

  /// Whether the map has `key`.
  bool contains(const Key& key) const { return find(key) != nullptr; }

  /// The number of keys.
  std::size_t size() const { return items_.size(); }
  /// Whether the map has no keys.
  bool empty() const { return items_.empty(); }

  /// The `{key, value}` pairs, ascending by key.
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }

  /// Equal when both hold the same keys with equal values.
  friend bool operator==(const FlatMap&, const FlatMap&) = default;

 private:
  std::vector<value_type> items_;
};

}  // namespace tallowmere_dat
