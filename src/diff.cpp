#include "tallowmere_dat/diff.h"

#include <algorithm>
#include <utility>

#include "entry_content.h"
#include "tallowmere_dat/bulk_reader.h"

namespace tallowmere_dat {
namespace {

constexpr std::size_t kHeaderFieldCount = 17;

/// A file's bytes as read, or why they couldn't be.
using Bytes = std::expected<std::span<const std::uint8_t>, DatError>;

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

/// One side's file of a pair, read at most once: its stored bytes, or the error reading them,
/// from which its size and its verified content follow as `decompressed_size` and
/// `get_file_verified` would give them. The buffers are reused from file to file: fresh ones per
/// file would cost a page fault per page of every file.
class SideFile {
 public:
  explicit SideFile(const DatDatabase& archive) : archive_(archive) {}

  /// Takes `entry`, whose stored bytes (or the error reading them) are `stored`.
  void take(const DatFileEntry& entry, Bytes stored) {
    entry_ = &entry;
    stored_ = std::move(stored);
    content_.reset();
  }
  /// Takes `entry`, to be read when first needed.
  void take(const DatFileEntry& entry) {
    entry_ = &entry;
    stored_.reset();
    content_.reset();
  }

  const DatFileEntry& entry() const { return *entry_; }

  const Bytes& stored() {
    if (!stored_) {
      auto read = archive_.read_file_data(entry_->offset, entry_->size, stored_buffer_);
      stored_ = read ? Bytes(stored_buffer_) : std::unexpected(std::move(read.error()));
    }
    return *stored_;
  }

  std::expected<std::uint32_t, DatError> size() {
    if (!entry_->is_compressed() || entry_->size < 4) return detail::declared_size(*entry_, {});
    // The prefix alone may be readable where the whole chain isn't.
    if (!stored()) return archive_.decompressed_size(*entry_);
    return detail::declared_size(*entry_, *stored());
  }

  const Bytes& content() {
    if (!content_) {
      if (!stored() || !entry_->is_compressed()) {
        content_ = stored();
      } else {
        auto decoded = detail::decompress_entry(entry_->id, *stored(), content_buffer_, true);
        content_ = decoded ? Bytes(content_buffer_) : std::unexpected(std::move(decoded.error()));
      }
    }
    return *content_;
  }

 private:
  const DatDatabase& archive_;
  const DatFileEntry* entry_ = nullptr;
  std::optional<Bytes> stored_;
  std::optional<Bytes> content_;
  std::vector<std::uint8_t> stored_buffer_;
  std::vector<std::uint8_t> content_buffer_;
};

std::optional<DatError> error_of(const Bytes& bytes) {
  if (bytes) return std::nullopt;
  return bytes.error();
}

bool equal(const Bytes& a, const Bytes& b) {
  return std::ranges::equal(*a, *b);
}

/// How the pair changed, or nullopt when it is equal or when a side can't be read, which then
/// has its error in `unreadable`.
std::optional<ChangeKind> compare_files(SideFile& old_file, SideFile& new_file,
                                        UnreadableEntry& unreadable) {
  const DatFileEntry& a = old_file.entry();
  const DatFileEntry& b = new_file.entry();
  std::optional<bool> stored_equal;
  if (a.size != b.size) {
    stored_equal = false;
  } else if (a.is_compressed() || b.is_compressed()) {
    // A compressed side stores other bytes than its content, so compare what is stored.
    if (!old_file.stored() || !new_file.stored()) {
      unreadable.old_error = error_of(old_file.content());
      unreadable.new_error = error_of(new_file.content());
      return std::nullopt;
    }
    stored_equal = equal(old_file.stored(), new_file.stored());
    if (*stored_equal && a.is_compressed() == b.is_compressed()) {
      // The same bytes decode the same way: one side's decoding answers for both.
      unreadable.old_error = error_of(old_file.content());
      if (unreadable.old_error) {
        unreadable.new_error = error_of(new_file.content());
        return std::nullopt;
      }
      return metadata_change(a, b);
    }
  }
  const auto size_a = old_file.size();
  const auto size_b = new_file.size();
  if (size_a && size_b && *size_a != *size_b) return ChangeKind::Content;
  unreadable.old_error = size_a ? error_of(old_file.content()) : size_a.error();
  unreadable.new_error = size_b ? error_of(new_file.content()) : size_b.error();
  if (unreadable.old_error || unreadable.new_error) return std::nullopt;
  if (!equal(old_file.content(), new_file.content())) return ChangeKind::Content;
  // Two uncompressed files of one size store exactly their content.
  if (!stored_equal.value_or(true)) return ChangeKind::Stored;
  return metadata_change(a, b);
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

/// Compares the files of each pair, in the old archive's offset order so that its side is read
/// in one sweep through a `BulkReader`; the new side is read file by file. Calls `unchanged`
/// with each pair found equal.
template <typename OnUnchanged>
void compare_pairs(const DatDatabase& old_archive, const DatDatabase& new_archive,
                   std::vector<EntryPair> pairs, DiffReport& report, OnUnchanged unchanged) {
  std::ranges::stable_sort(pairs, {}, [](const EntryPair& p) { return p.first->offset; });
  std::vector<const DatFileEntry*> old_reads;
  for (const auto& [a, b] : pairs) {
    if (!differ_unread(*a, *b)) old_reads.push_back(a);
  }
  // Given in offset order, the reader hands the files over in the order given.
  BulkReader old_files(old_archive, std::move(old_reads), BulkContent::Stored);
  SideFile old_file(old_archive);
  SideFile new_file(new_archive);
  for (const auto& [a, b] : pairs) {
    UnreadableEntry unreadable{.old_entry = *a, .new_entry = *b};
    std::optional<ChangeKind> change = ChangeKind::Content;
    if (!differ_unread(*a, *b)) {
      std::optional<BulkFile> read = old_files.next();
      old_file.take(*a, std::move(read->bytes));
      new_file.take(*b);
      change = compare_files(old_file, new_file, unreadable);
    }
    if (record_pair(change, std::move(unreadable), report)) unchanged(*a);
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
          (*a)->size != (*b)->size ? ChangeKind::Metadata : metadata_change(**a, **b);
      if (record_pair(change, {.old_entry = **a, .new_entry = **b}, report)) count_unchanged(**a);
      ++a;
      ++b;
    } else {
      both.emplace_back(*a++, *b++);
    }
  }
  compare_pairs(old_archive, new_archive, std::move(both), report, count_unchanged);
  report.totals = type_totals(report, unchanged);
  return report;
}

}  // namespace tallowmere_dat
