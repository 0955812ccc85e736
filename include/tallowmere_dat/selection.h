#pragma once

// Which files an operation covers: identifiers, ranges of them and type bytes, as the tool's
// selections, the bulk reader, the diff and the Python module name them.

#include <cstdint>
#include <span>
#include <vector>

#include "tallowmere_dat/dat_file_entry.h"
#include "tallowmere_dat/file_index.h"

namespace tallowmere_dat {

/// The identifiers from `first` to `last`, both included.
struct IdRange {
  std::uint32_t first = 0;
  std::uint32_t last = 0xFFFFFFFF;

  /// True when `id` lies in the range.
  [[nodiscard]] constexpr bool holds(std::uint32_t id) const { return first <= id && id <= last; }

  friend bool operator==(const IdRange&, const IdRange&) = default;
};

/// A set of files: those whose identifier lies in one of `ranges` (any, when there are none) and
/// whose type byte is one of `types` (any, when there are none). The default selects everything.
struct Selection {
  std::vector<IdRange> ranges;
  std::vector<std::uint8_t> types;

  /// True when the selection covers identifier `id`.
  [[nodiscard]] bool matches(std::uint32_t id) const;

  /// True when it covers every identifier (no range and no type given).
  [[nodiscard]] bool is_everything() const { return ranges.empty() && types.empty(); }

  /// The entries of `index` that it covers, in ascending identifier order; found by binary
  /// search per range and type, so a narrow selection of a large index costs little. Never fails.
  [[nodiscard]] std::vector<const DatFileEntry*> select(const FileIndex& index) const;

  friend bool operator==(const Selection&, const Selection&) = default;
};

}  // namespace tallowmere_dat
