#include "tallowmere_dat/file_index.h"

#include <algorithm>

namespace tallowmere_dat {

const DatFileEntry* FileIndex::find(std::uint32_t id) const {
  const auto at = std::ranges::lower_bound(entries_, id, {}, &DatFileEntry::id);
  return at != entries_.end() && at->id == id ? &*at : nullptr;
}

std::span<const DatFileEntry> FileIndex::of_type(std::uint8_t type) const {
  const std::uint32_t first = std::uint32_t{type} << 24U;
  const auto begin = std::ranges::lower_bound(entries_, first, {}, &DatFileEntry::id);
  const auto end = std::partition_point(
      begin, entries_.end(), [type](const DatFileEntry& e) { return type_of(e.id) == type; });
  return {begin, end};
}

}  // namespace tallowmere_dat
