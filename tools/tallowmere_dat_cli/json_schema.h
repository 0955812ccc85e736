#pragma once

// The JSON documents of every subcommand, built to one schema (docs/json.md): identifiers,
// offsets, flags, keys and type bytes are fixed-width hex strings ("0x20000000", "0x20"); sizes,
// counts, timestamps and versions are numbers; each field has one name, the library's; every
// top-level object names its `archive`; text from outside is escaped as `DatError::message()`
// escapes it.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "json.h"
#include "tallowmere_dat/check.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/diff.h"
#include "tallowmere_dat/explain.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_dat/selection.h"

namespace tallowmere_dat::cli {

/// How many files, compressed ones and stored bytes.
struct TypeTotals {
  std::uint64_t files = 0;
  std::uint64_t compressed_files = 0;
  std::uint64_t stored_bytes = 0;
};

/// The directory's totals, per type byte and over all entries.
struct DirectoryTotals {
  std::map<std::uint8_t, TypeTotals> by_type;
  TypeTotals all;
};

/// Counts the directory's entries as `info` shows them (sizes as stored).
DirectoryTotals count_by_type(const DatDatabase& db);

/// Text from outside (a path, a name) as a JSON string: valid UTF-8 whatever its bytes, with
/// control and unprintable characters escaped as in `DatError::message()`.
Json text_json(std::string_view text);

/// A 32-bit value as "0x" and `digits` uppercase hex digits.
Json hex_json(std::uint32_t value, int digits = 8);

/// A file offset as "0x" and at least eight uppercase hex digits.
Json offset_json(std::uint64_t offset);

/// Raw bytes in file order as one hex string: "0x" and two digits per byte.
Json bytes_json(std::span<const std::uint8_t> bytes);

/// A stored field's value by its name: a number for sizes, counts, timestamps and versions,
/// `bytes_json` for version_string, fixed-width hex otherwise.
Json field_json(std::string_view name, std::uint64_t value, std::span<const std::uint8_t> bytes);

/// True for the stored fields shown as numbers (sizes, counts, versions, times); every other
/// one is an identifier, an offset or flags, shown in hex.
bool is_number_field(std::string_view name);

/// `info --json`: {archive, header: {field: value...}, totals, by_type: [...]}.
Json header_document(const std::string& archive_path, const DatDatabase& db);

/// One directory entry: {id, type, bit_flags, compressed, offset, size, timestamp, time,
/// version}.
Json entry_json(const DatFileEntry& entry);

/// `ls --json`: {archive, entries: [entry_json...]} over the entries `selection` covers.
Json listing_document(const std::string& archive_path, const DatDatabase& db,
                      const Selection& selection);

/// `check --json`: {archive, errors, warnings, findings: [{kind, severity, offsets, ids,
/// message}...]}.
Json check_document(const std::string& archive_path, const CheckReport& report);

/// What any `--json` subcommand prints when it can't do its work: {archive, error}.
Json error_document(const std::string& archive_path, std::string_view message);

/// One decoded sound table, file `id`: {id, stored_id, hash_key, hashes: [{key, priority,
/// probability, volume}...], sounds: [{key, unknown, entries: [{wave_did, priority, probability,
/// volume}...]}...]}; floats as `float_json` gives them.
Json sound_table_json(std::uint32_t id, const file_type::SoundTable& table);

/// `explain --json`: {archive, header_fields: [{name, offset, bytes, value}...], entry?}.
Json explanation_document(const std::string& archive_path, const Explanation& explanation);

/// True for the header fields that say where the archive's blocks lie rather than what it holds
/// (`file_size`, `free_head`, `free_tail`, `free_count`, `root_offset`): any rebuild changes
/// them, so `diff` shows them without counting them as a difference.
bool is_layout_field(std::string_view name);

/// A header field's value as `field_json` gives it.
Json header_value_json(std::string_view name, const HeaderValue& value);

/// The two archives a `diff` document names: {old, new}, each a path as `text_json` gives it.
Json archive_pair_json(const std::string& old_path, const std::string& new_path);

/// One `diff` change record for an added, removed or changed entry: {id, change, old?, new?},
/// `change` being "added", "removed" or `change_name`, each side an `entry_json` where it exists.
Json change_json(std::string_view change, const DatFileEntry* old_entry,
                 const DatFileEntry* new_entry);

/// One `diff` record for an entry that couldn't be read: {id, change: "unreadable", side,
/// message, old, new}.
Json unreadable_json(const UnreadableEntry& entry);

/// `diff`'s summary: {differ, unchanged, header_changes: [{name, layout, old_value,
/// new_value}...], by_type: [{type, files_added, bytes_added, files_removed, bytes_removed,
/// files_changed, bytes_changed, files_unreadable, files_unchanged}...]}, `differ` as given.
Json diff_summary_json(const DiffReport& report, bool differ);

/// `document`'s fields, moved, after `archive`: the top-level form of a streamed line.
Json with_archive(const std::string& archive_path, Json document);

/// `document`'s fields, moved, after `archive` set to `archive` (a `diff` line's pair).
Json with_archive(Json archive, Json document);

}  // namespace tallowmere_dat::cli
