#pragma once

// The archive's directory as applications use it: every entry once, sorted by identifier.

#include <cstdint>
#include <span>
#include <vector>

#include "tallowmere_dat/dat_file_entry.h"

namespace tallowmere_dat {

namespace detail {
struct IndexAccess;
}  // namespace detail

/// The type byte of a file identifier: its top eight bits (0x20 for sound tables).
[[nodiscard]] constexpr std::uint8_t type_of(std::uint32_t id) {
  return static_cast<std::uint8_t>(id >> 24U);
}

/// A read-only index of directory entries, one per identifier, contiguous in memory and sorted
/// by ascending `id`, so that iteration order is the same on every run.
class FileIndex {
 public:
  using const_iterator = std::vector<DatFileEntry>::const_iterator;

  /// An empty index.
  FileIndex() = default;

  /// The entry with identifier `id`, or nullptr when there is none. Binary search.
  [[nodiscard]] const DatFileEntry* find(std::uint32_t id) const;
  /// True when an entry has identifier `id`.
  [[nodiscard]] bool contains(std::uint32_t id) const { return find(id) != nullptr; }
  /// The number of entries (of distinct identifiers).
  [[nodiscard]] std::size_t size() const { return entries_.size(); }
  /// True when the index holds no entry.
  [[nodiscard]] bool empty() const { return entries_.empty(); }

  /// The entries in ascending identifier order.
  [[nodiscard]] const_iterator begin() const { return entries_.begin(); }
  [[nodiscard]] const_iterator end() const { return entries_.end(); }
  /// All entries, in ascending identifier order.
  [[nodiscard]] std::span<const DatFileEntry> entries() const { return entries_; }

  /// The entries whose identifier's type byte (`type_of`) is `type`: a contiguous run, in
  /// ascending identifier order; empty when there are none.
  [[nodiscard]] std::span<const DatFileEntry> of_type(std::uint8_t type) const;

  friend bool operator==(const FileIndex&, const FileIndex&) = default;

 private:
  friend struct detail::IndexAccess;
  /// Takes `entries`, already sorted by strictly ascending `id`.
  explicit FileIndex(std::vector<DatFileEntry> entries) : entries_(std::move(entries)) {}

  std::vector<DatFileEntry> entries_;
};

}  // namespace tallowmere_dat
