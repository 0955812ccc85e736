#include "tallowmere_dat/selection.h"

#include <algorithm>

namespace tallowmere_dat {

bool Selection::matches(std::uint32_t id) const {
  const bool in_range =
      ranges.empty() || std::ranges::any_of(ranges, [id](IdRange r) { return r.holds(id); });
  return in_range && (types.empty() || std::ranges::find(types, type_of(id)) != types.end());
}

std::vector<const DatFileEntry*> Selection::select(const FileIndex& index) const {
  // Each type byte and each range is a contiguous run of the sorted index: cut the runs out, then
  // keep each entry once, in order, whatever the ranges' overlaps.
  std::vector<IdRange> runs;
  const std::vector<IdRange> all_ids{IdRange{}};
  for (const IdRange range : ranges.empty() ? all_ids : ranges) {
    if (types.empty()) {
      runs.push_back(range);
      continue;
    }
    for (const std::uint8_t type : types) {
      const IdRange of_type{std::uint32_t{type} << 24U, (std::uint32_t{type} << 24U) | 0xFFFFFFU};
      if (range.first <= of_type.last && of_type.first <= range.last) {
        runs.push_back({std::max(range.first, of_type.first), std::min(range.last, of_type.last)});
      }
    }
  }
  std::ranges::sort(runs, {}, &IdRange::first);
  const std::span<const DatFileEntry> entries = index.entries();
  std::vector<const DatFileEntry*> out;
  std::uint64_t next_id = 0;  // below this, entries are taken already
  for (const IdRange run : runs) {
    const std::uint64_t from = std::max<std::uint64_t>(run.first, next_id);
    if (from > run.last) continue;
    auto at = std::ranges::lower_bound(entries, from, {},
                                       [](const DatFileEntry& e) { return std::uint64_t{e.id}; });
    for (; at != entries.end() && at->id <= run.last; ++at)
      out.push_back(&*at);
    next_id = std::uint64_t{run.last} + 1;
  }
  return out;
}

}  // namespace tallowmere_dat
