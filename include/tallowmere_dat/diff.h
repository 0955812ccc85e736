#pragma once

// What changed between two versions of an archive: entries added, removed and changed (and how),
// entries that can't be read, header fields, per-type totals; and, for sound tables, which slots
// and hash records changed.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/dat_file_entry.h"
#include "tallowmere_dat/error.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_dat/selection.h"

namespace tallowmere_dat {

/// What `diff_archives` compares.
struct DiffOptions {
  /// The files compared; the header is compared whatever it selects. (The braces let
  /// designated initializers leave it out without a warning.)
  Selection selection{};  // NOLINT(readability-redundant-member-init)
  /// Compare the directory entries only, reading no file.
  bool metadata_only = false;
};

/// How an entry present in both archives changed: the first of these that applies.
enum class ChangeKind : std::uint8_t {
  Content,   ///< The decompressed bytes differ.
  Stored,    ///< The stored bytes differ, the decompressed ones are equal.
  Metadata,  ///< The stored bytes are equal; `bit_flags`, `timestamp` or `version` differ. With
             ///< `metadata_only`: the entries' `size`, `bit_flags`, `timestamp` or `version`
             ///< differ (the bytes were not read).
};

/// The kind's name as the tool and the Python module spell it: "content", "stored" or
/// "metadata". Cannot fail.
[[nodiscard]] std::string_view change_name(ChangeKind kind);

/// An entry present in both archives that changed.
struct ChangedEntry {
  ChangeKind kind = ChangeKind::Content;
  DatFileEntry old_entry;  ///< As the old archive's directory holds it.
  DatFileEntry new_entry;  ///< As the new archive's directory holds it.

  friend bool operator==(const ChangedEntry&, const ChangedEntry&) = default;
};

/// Which archive an entry couldn't be read from.
enum class DiffSide : std::uint8_t { Old, New, Both };

/// The side's name: "old", "new" or "both". Cannot fail.
[[nodiscard]] std::string_view side_name(DiffSide side);

/// An entry present in both archives whose file couldn't be read, or decompressed to the size it
/// declares, from one side or both: never counted as equal.
struct UnreadableEntry {
  DatFileEntry old_entry;  ///< As the old archive's directory holds it.
  DatFileEntry new_entry;  ///< As the new archive's directory holds it.
  // GCC 12 warns about designated initializers that skip a member without an initializer.
  // NOLINTBEGIN(readability-redundant-member-init)
  /// The retrieval's error on each side; at least one is set.
  std::optional<DatError> old_error{};
  std::optional<DatError> new_error{};
  // NOLINTEND(readability-redundant-member-init)

  /// The entry's identifier.
  [[nodiscard]] std::uint32_t id() const { return old_entry.id; }
  /// `Both` when both errors are set, else the side whose is. Cannot fail.
  [[nodiscard]] DiffSide side() const;
  /// One line for people: the error's `message()`, or for both sides "old: …; new: …" (or one
  /// message when both are the same); empty when neither error is set. Cannot fail.
  [[nodiscard]] std::string message() const;

  friend bool operator==(const UnreadableEntry&, const UnreadableEntry&) = default;
};

/// A header field's value: a number, or the 16 bytes of `version_string`.
using HeaderValue = std::variant<std::uint32_t, std::array<std::uint8_t, 16>>;

/// A header field that differs between the archives.
struct HeaderFieldChange {
  std::string_view name;  ///< As `DatHeader` names it, e.g. "game_version"; static storage.
  HeaderValue old_value;
  HeaderValue new_value;

  friend bool operator==(const HeaderFieldChange&, const HeaderFieldChange&) = default;
};

/// What changed within one type byte. Bytes are stored sizes (the entries' `size`): the new
/// entry's for added and changed files, the old one's for removed files.
struct TypeTotals {
  std::uint8_t type = 0;  ///< The identifiers' top byte (`type_of`).
  std::uint64_t files_added = 0;
  std::uint64_t bytes_added = 0;
  std::uint64_t files_removed = 0;
  std::uint64_t bytes_removed = 0;
  std::uint64_t files_changed = 0;
  std::uint64_t bytes_changed = 0;
  std::uint64_t files_unreadable = 0;  ///< Entries in `DiffReport::unreadable`.
  std::uint64_t files_unchanged = 0;   ///< Entries counted in `DiffReport::unchanged`.

  friend bool operator==(const TypeTotals&, const TypeTotals&) = default;
};

/// The differences between two archives within a selection. Every list is in ascending
/// identifier order; a file that only moved (another offset, the same bytes and metadata) is
/// unchanged.
struct DiffReport {
  std::vector<DatFileEntry> added;    ///< The new archive's entries that the old one lacks.
  std::vector<DatFileEntry> removed;  ///< The old archive's entries that the new one lacks.
  std::vector<ChangedEntry> changed;
  std::vector<UnreadableEntry> unreadable;
  /// Entries present in both archives and equal.
  std::uint64_t unchanged = 0;
  /// The header fields that differ, in the header's order.
  std::vector<HeaderFieldChange> header_changes;
  /// One record per type byte with a selected entry in either archive, ascending by type.
  std::vector<TypeTotals> totals;

  /// True when anything differs or couldn't be read, header fields included. Cannot fail.
  [[nodiscard]] bool has_differences() const;

  friend bool operator==(const DiffReport&, const DiffReport&) = default;
};

/// Compares the selected entries of `old_archive` and `new_archive`, and their headers. Content
/// is compared exactly on the decompressed, verified bytes (as `get_file_verified` returns
/// them); two files whose decompressed sizes differ (`decompressed_size`) are `Content` changes
/// without being read in full, and stored bytes are read only where they may be equal and one
/// side is compressed. An entry that fails to be read on either side goes to `unreadable` with
/// its errors; it never stops the comparison, so this cannot fail. The same archive on both
/// sides gives a report without differences.
[[nodiscard]] DiffReport diff_archives(const DatDatabase& old_archive,
                                       const DatDatabase& new_archive, const DiffOptions& options);

/// Two values of a field that differs.
template <typename T>
struct ValueChange {
  T old_value{};
  T new_value{};
};

/// A record, under `key`, that differs between two tables: added when `old_value` is empty,
/// removed when `new_value` is empty, changed when both are set.
template <typename Value>
struct RecordChange {
  std::uint32_t key = 0;
  std::optional<Value> old_value;
  std::optional<Value> new_value;
};

/// What differs between two sound tables. Floats are compared by their bits: the same NaN is
/// equal to itself, 0.0 differs from -0.0.
struct SoundTableDiff {
  std::optional<ValueChange<std::uint32_t>> id;
  std::optional<ValueChange<std::int32_t>> hash_key;
  std::vector<RecordChange<file_type::SoundHashData>> hashes;  ///< Ascending by key.
  std::vector<RecordChange<file_type::SoundData>> sounds;      ///< Ascending by slot key.

  /// True when the tables are equal. Cannot fail.
  [[nodiscard]] bool empty() const { return !id && !hash_key && hashes.empty() && sounds.empty(); }
};

/// The fields, hash records and slots that differ between `old_table` and `new_table`; a slot
/// differs when its `unknown` or any of its entries (their order included) does. Cannot fail.
[[nodiscard]] SoundTableDiff diff_sound_tables(const file_type::SoundTable& old_table,
                                               const file_type::SoundTable& new_table);

}  // namespace tallowmere_dat
