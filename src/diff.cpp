#include "tallowmere_dat/diff.h"

#include <algorithm>
#include <utility>

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

/// `Metadata` when the entries' flags, timestamp or version differ.
std::optional<ChangeKind> metadata_change(const DatFileEntry& a, const DatFileEntry& b) {
  if (a.bit_flags != b.bit_flags || a.timestamp != b.timestamp || a.version != b.version) {
    return ChangeKind::Metadata;
  }
  return std::nullopt;
}

/// Compares the files of entries present in both archives, with one buffer per side reused
/// from file to file: fresh buffers per file would cost a page fault per page of every file.
class FileComparer {
 public:
  FileComparer(const DatDatabase& old_archive, const DatDatabase& new_archive)
      : old_(old_archive), new_(new_archive) {}

  /// How the pair changed, or nullopt when it is equal or when a side can't be read, which
  /// then has its error in `unreadable`.
  std::optional<ChangeKind> compare(const DatFileEntry& a, const DatFileEntry& b,
                                    UnreadableEntry& unreadable) {
    std::optional<bool> stored_equal;
    if (a.size != b.size) {
      stored_equal = false;
    } else if (a.is_compressed() || b.is_compressed()) {
      // A compressed side stores other bytes than its content, so compare what is stored.
      auto stored_a = old_.read_file_data(a.offset, a.size, old_stored_);
      auto stored_b = new_.read_file_data(b.offset, b.size, new_stored_);
      if (!stored_a || !stored_b) {
        unreadable.old_error = stored_a ? verify(old_, a, old_bytes_) : stored_a.error();
        unreadable.new_error = stored_b ? verify(new_, b, new_bytes_) : stored_b.error();
        return std::nullopt;
      }
      stored_equal = old_stored_ == new_stored_;
      if (*stored_equal && a.is_compressed() == b.is_compressed()) {
        // The same bytes decode the same way: one verified retrieval answers for both sides.
        unreadable.old_error = verify(old_, a, old_bytes_);
        if (unreadable.old_error) {
          unreadable.new_error = verify(new_, b, new_bytes_);
          return std::nullopt;
        }
        return metadata_change(a, b);
      }
    }
    const auto size_a = old_.decompressed_size(a);
    const auto size_b = new_.decompressed_size(b);
    if (size_a && size_b && *size_a != *size_b) return ChangeKind::Content;
    unreadable.old_error = size_a ? verify(old_, a, old_bytes_) : size_a.error();
    unreadable.new_error = size_b ? verify(new_, b, new_bytes_) : size_b.error();
    if (unreadable.old_error || unreadable.new_error) return std::nullopt;
    if (old_bytes_ != new_bytes_) return ChangeKind::Content;
    // Two uncompressed files of one size store exactly their content.
    if (!stored_equal.value_or(true)) return ChangeKind::Stored;
    return metadata_change(a, b);
  }

 private:
  /// The error of retrieving `entry`'s verified bytes into `out`, or nullopt.
  static std::optional<DatError> verify(const DatDatabase& archive, const DatFileEntry& entry,
                                        std::vector<std::uint8_t>& out) {
    auto read = archive.get_file_verified(entry.id, out);
    if (!read) return std::move(read.error());
    return std::nullopt;
  }

  const DatDatabase& old_;
  const DatDatabase& new_;
  std::vector<std::uint8_t> old_stored_;
  std::vector<std::uint8_t> new_stored_;
  std::vector<std::uint8_t> old_bytes_;
  std::vector<std::uint8_t> new_bytes_;
};

/// Adds the pair of entries with one identifier to the report's lists; true when it is unchanged
/// (which the caller counts).
bool compare_pair(FileComparer& files, const DatFileEntry& a, const DatFileEntry& b,
                  bool metadata_only, DiffReport& report) {
  UnreadableEntry unreadable{.old_entry = a, .new_entry = b};
  std::optional<ChangeKind> change;
  if (metadata_only) {
    change = a.size != b.size ? ChangeKind::Metadata : metadata_change(a, b);
  } else {
    change = files.compare(a, b, unreadable);
  }
  if (unreadable.old_error || unreadable.new_error) {
    report.unreadable.push_back(std::move(unreadable));
    return false;
  }
  if (change) report.changed.push_back({*change, a, b});
  return !change;
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
  FileComparer files(old_archive, new_archive);
  std::array<std::uint64_t, 256> unchanged{};
  // Both lists ascend by identifier: one merge pass pairs them up.
  auto a = old_entries.begin();
  auto b = new_entries.begin();
  while (a != old_entries.end() || b != new_entries.end()) {
    if (b == new_entries.end() || (a != old_entries.end() && (*a)->id < (*b)->id)) {
      report.removed.push_back(**a++);
    } else if (a == old_entries.end() || (*b)->id < (*a)->id) {
      report.added.push_back(**b++);
    } else {
      if (compare_pair(files, **a, **b, options.metadata_only, report)) {
        ++report.unchanged;
        ++unchanged[type_of((*a)->id)];
      }
      ++a;
      ++b;
    }
  }
  report.totals = type_totals(report, unchanged);
  return report;
}

}  // namespace tallowmere_dat
