#include "tallowmere_dat/diff.h"

#include <algorithm>
#include <utility>

#include "file_pair.h"
#include "tallowmere_dat/bulk_reader.h"

namespace tallowmere_dat {
namespace {

constexpr std::size_t kHeaderFieldCount = 17;

/// The header's fields in stored order, each with its name.
std::array<std::pair<std::string_view, HeaderValue>, kHeaderFieldCount> header_fields(
    const DatHeader& h) {
  return {{{"magic", h.magic},
           {"block_size", h.block_size},
           {"file_size", h.file_size},
           {"dataset", h.dataset},
           {"subset", h.subset},
           {"free_head", h.free_head},
           {"free_tail", h.free_tail},
           {"free_count", h.free_count},
           {"root_offset", h.root_offset},
           {"new_lru", h.new_lru},
           {"old_lru", h.old_lru},
           {"use_lru", h.use_lru},
           {"master_map_id", h.master_map_id},
           {"engine_version", h.engine_version},
           {"game_version", h.game_version},
           {"version_string", h.version_string},
           {"version_minor", h.version_minor}}};
}

std::vector<HeaderFieldChange> header_changes(const DatHeader& old_header,
                                              const DatHeader& new_header) {
  const auto old_fields = header_fields(old_header);
  const auto new_fields = header_fields(new_header);
  std::vector<HeaderFieldChange> changes;
  for (std::size_t i = 0; i < kHeaderFieldCount; ++i) {
    if (old_fields[i].second != new_fields[i].second) {
      changes.push_back({old_fields[i].first, old_fields[i].second, new_fields[i].second});
    }
  }
  return changes;
}

/// True when two uncompressed files of different sizes: a content change, read or not.
bool differ_unread(const DatFileEntry& a, const DatFileEntry& b) {
  return !a.is_compressed() && !b.is_compressed() && a.size != b.size;
}

using EntryPair = std::pair<const DatFileEntry*, const DatFileEntry*>;

/// Adds the pair to the report's lists as `change` and `unreadable` say; true when it is
/// unchanged (which the caller counts).
bool record_pair(std::optional<ChangeKind> change, UnreadableEntry unreadable, DiffReport& report) {
  if (unreadable.old_error || unreadable.new_error) {
    report.unreadable.push_back(std::move(unreadable));
    return false;
  }
  if (change) report.changed.push_back({*change, unreadable.old_entry, unreadable.new_entry});
  return !change;
}

/// Compares the files of each pair. Pairs held whole go in the old archive's offset order, so
/// that its side is read in one sweep through a `BulkReader`, the new side file by file; pairs
/// with a large file are streamed on both sides. Calls `unchanged` with each pair found equal.
template <typename OnUnchanged>
void compare_pairs(const DatDatabase& old_archive, const DatDatabase& new_archive,
                   std::span<const EntryPair> pairs, DiffReport& report, OnUnchanged unchanged) {
  const auto record = [&](const EntryPair& pair, auto compare) {
    UnreadableEntry unreadable{.old_entry = *pair.first, .new_entry = *pair.second};
    const std::optional<ChangeKind> change = compare(unreadable);
    if (record_pair(change, std::move(unreadable), report)) unchanged(*pair.first);
  };
  std::vector<EntryPair> whole_pairs;
  for (const EntryPair& pair : pairs) {
    const auto& [a, b] = pair;
    if (differ_unread(*a, *b)) {
      record(pair, [](UnreadableEntry&) { return ChangeKind::Content; });
    } else if (!detail::held_whole(*a) || !detail::held_whole(*b)) {
      detail::StreamedFilePair streamed(old_archive, *a, new_archive, *b);
      record(pair, [&](UnreadableEntry& u) { return detail::compare_files(streamed, u); });
    } else {
      whole_pairs.push_back(pair);
    }
  }
  std::ranges::stable_sort(whole_pairs, {}, [](const EntryPair& p) { return p.first->offset; });
  std::vector<const DatFileEntry*> old_reads(whole_pairs.size());
  std::ranges::transform(whole_pairs, old_reads.begin(), &EntryPair::first);
  // Given in offset order, the reader hands the files over in the order given.
  BulkReader old_files(old_archive, std::move(old_reads), BulkContent::Stored);
  detail::WholeFilePair whole(old_archive, new_archive);
  std::size_t next = 0;
  while (std::optional<BulkFile> read = old_files.next()) {
    const EntryPair& pair = whole_pairs[next++];
    whole.take(*pair.first, std::move(read->bytes), *pair.second);
    record(pair, [&](UnreadableEntry& u) { return detail::compare_files(whole, u); });
  }
  std::ranges::sort(report.changed, {}, [](const ChangedEntry& c) { return c.new_entry.id; });
  std::ranges::sort(report.unreadable, {}, &UnreadableEntry::id);
}

/// The per-type totals of a report whose lists are complete, given each type's unchanged count.
std::vector<TypeTotals> type_totals(const DiffReport& report,
                                    const std::array<std::uint64_t, 256>& unchanged) {
  std::array<std::optional<TypeTotals>, 256> by_type{};
  const auto of = [&](std::uint32_t id) -> TypeTotals& {
    auto& totals = by_type[type_of(id)];
    if (!totals) totals = TypeTotals{.type = type_of(id)};
    return *totals;
  };
  for (const DatFileEntry& e : report.added) {
    ++of(e.id).files_added;
    of(e.id).bytes_added += e.size;
  }
  for (const DatFileEntry& e : report.removed) {
    ++of(e.id).files_removed;
    of(e.id).bytes_removed += e.size;
  }
  for (const ChangedEntry& c : report.changed) {
    ++of(c.new_entry.id).files_changed;
    of(c.new_entry.id).bytes_changed += c.new_entry.size;
  }
  for (const UnreadableEntry& u : report.unreadable)
    ++of(u.id()).files_unreadable;
  std::vector<TypeTotals> totals;
  for (std::size_t type = 0; type < by_type.size(); ++type) {
    if (!by_type[type] && unchanged[type] == 0) continue;
    TypeTotals& of_type = totals.emplace_back(
        by_type[type].value_or(TypeTotals{.type = static_cast<std::uint8_t>(type)}));
    of_type.files_unchanged = unchanged[type];
  }
  return totals;
}

}  // namespace

std::string_view change_name(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::Content:
      return "content";
    case ChangeKind::Stored:
      return "stored";
    case ChangeKind::Metadata:
      return "metadata";
  }
  return "content";
}

std::string_view side_name(DiffSide side) {
  switch (side) {
    case DiffSide::Old:
      return "old";
    case DiffSide::New:
      return "new";
    case DiffSide::Both:
      return "both";
  }
  return "both";
}

DiffSide UnreadableEntry::side() const {
  if (old_error && new_error) return DiffSide::Both;
  return old_error ? DiffSide::Old : DiffSide::New;
}

std::string UnreadableEntry::message() const {
  if (!old_error) return new_error ? new_error->message() : std::string();
  if (!new_error) return old_error->message();
  std::string old_message = old_error->message();
  std::string new_message = new_error->message();
  if (old_message == new_message) return old_message;
  return "old: " + old_message + "; new: " + new_message;
}

bool DiffReport::has_differences() const {
  return !added.empty() || !removed.empty() || !changed.empty() || !unreadable.empty() ||
         !header_changes.empty();
}

DiffReport diff_archives(const DatDatabase& old_archive, const DatDatabase& new_archive,
                         const DiffOptions& options) {
  DiffReport report;
  report.header_changes = header_changes(old_archive.header(), new_archive.header());
  const std::vector<const DatFileEntry*> old_entries =
      options.selection.select(old_archive.files());
  const std::vector<const DatFileEntry*> new_entries =
      options.selection.select(new_archive.files());
  std::array<std::uint64_t, 256> unchanged{};
  const auto count_unchanged = [&](const DatFileEntry& entry) {
    ++report.unchanged;
    ++unchanged[type_of(entry.id)];
  };
  std::vector<EntryPair> both;
  // Both lists ascend by identifier: one merge pass pairs them up.
  auto a = old_entries.begin();
  auto b = new_entries.begin();
  while (a != old_entries.end() || b != new_entries.end()) {
    if (b == new_entries.end() || (a != old_entries.end() && (*a)->id < (*b)->id)) {
      report.removed.push_back(**a++);
    } else if (a == old_entries.end() || (*b)->id < (*a)->id) {
      report.added.push_back(**b++);
    } else if (options.metadata_only) {
      const auto change =
          (*a)->size != (*b)->size ? ChangeKind::Metadata : detail::metadata_change(**a, **b);
      if (record_pair(change, {.old_entry = **a, .new_entry = **b}, report)) count_unchanged(**a);
      ++a;
      ++b;
    } else {
      both.emplace_back(*a++, *b++);
    }
  }
  compare_pairs(old_archive, new_archive, both, report, count_unchanged);
  report.totals = type_totals(report, unchanged);
  return report;
}

}  // namespace tallowmere_dat
