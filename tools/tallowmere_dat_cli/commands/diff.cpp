// `diff OLD NEW [SEL...] [--type T]... [--stat] [--metadata-only] [--sound-tables]
// [--json|--json-lines]`: what changed between two archives, one line per changed identifier with
// a status letter as `git diff --name-status` has them, then a summary per type. Exit status 0
// when they are equal in the selection, 1 when they differ, 2 when either can't be read.
//
// The header fields that say where blocks lie (`is_layout_field`) change with any rebuild, as
// offsets do; like a file that only moved, they are shown but are no difference. Two paths that
// name one file are equal: an entry that can't be read there is listed (as unreadable on both
// sides), but it is the same damage on both sides, not a difference.

#include "tallowmere_dat/diff.h"

#include <unistd.h>

#include <algorithm>
#include <expected>
#include <filesystem>
#include <memory>

#include "archive.h"
#include "commands.h"
#include "format.h"
#include "json_schema.h"
#include "output.h"
#include "progress.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "diff";
constexpr std::uint8_t kSoundTableType = 0x20;
// Below this many stored bytes a diff takes well under a second: no progress display.
constexpr std::uint64_t kLongRunBytes = 64ULL << 20U;
constexpr std::size_t kProgressSteps = 100;

using file_type::SoundData;
using file_type::SoundHashData;
using file_type::SoundTable;

struct DiffCommandOptions {
  std::string old_path;
  std::string new_path;
  SelectionArgs selection;
  bool stat = false;
  bool metadata_only = false;
  bool sound_tables = false;
  bool json = false;
  bool json_lines = false;
};

/// One changed identifier, of any kind, as the output lists it.
struct Change {
  std::uint32_t id = 0;
  char letter = 'M';
  std::string_view name;
  const DatFileEntry* old_entry = nullptr;
  const DatFileEntry* new_entry = nullptr;
  const UnreadableEntry* unreadable = nullptr;
};

char letter_of(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::Content:
      return 'M';
    case ChangeKind::Stored:
      return 'S';
    case ChangeKind::Metadata:
      return 'T';
  }
  return 'M';
}

/// Every change of `report`, in ascending identifier order.
std::vector<Change> changes_by_id(const DiffReport& report) {
  std::vector<Change> changes;
  changes.reserve(report.added.size() + report.removed.size() + report.changed.size() +
                  report.unreadable.size());
  for (const DatFileEntry& e : report.added)
    changes.push_back({.id = e.id, .letter = 'A', .name = "added", .new_entry = &e});
  for (const DatFileEntry& e : report.removed)
    changes.push_back({.id = e.id, .letter = 'D', .name = "removed", .old_entry = &e});
  for (const ChangedEntry& c : report.changed) {
    changes.push_back({.id = c.new_entry.id,
                       .letter = letter_of(c.kind),
                       .name = change_name(c.kind),
                       .old_entry = &c.old_entry,
                       .new_entry = &c.new_entry});
  }
  for (const UnreadableEntry& u : report.unreadable) {
    changes.push_back({.id = u.id(),
                       .letter = '!',
                       .name = "unreadable",
                       .old_entry = &u.old_entry,
                       .new_entry = &u.new_entry,
                       .unreadable = &u});
  }
  std::ranges::sort(changes, {}, &Change::id);
  return changes;
}

/// `selection` narrowed to the identifiers of `chunk`; nothing when none is left.
std::optional<Selection> within(const Selection& selection, IdRange chunk) {
  Selection narrowed{.ranges = {}, .types = selection.types};
  if (selection.ranges.empty()) narrowed.ranges.push_back(chunk);
  for (const IdRange range : selection.ranges) {
    const IdRange common{std::max(range.first, chunk.first), std::min(range.last, chunk.last)};
    if (common.first <= common.last) narrowed.ranges.push_back(common);
  }
  if (narrowed.ranges.empty()) return std::nullopt;
  return narrowed;
}

void add_totals(std::vector<tallowmere_dat::TypeTotals>& into,
                const tallowmere_dat::TypeTotals& part) {
  auto at = std::ranges::lower_bound(into, part.type, {}, &tallowmere_dat::TypeTotals::type);
  if (at == into.end() || at->type != part.type) {
    at = into.insert(at, tallowmere_dat::TypeTotals{.type = part.type});
  }
  at->files_added += part.files_added;
  at->bytes_added += part.bytes_added;
  at->files_removed += part.files_removed;
  at->bytes_removed += part.bytes_removed;
  at->files_changed += part.files_changed;
  at->bytes_changed += part.bytes_changed;
  at->files_unreadable += part.files_unreadable;
  at->files_unchanged += part.files_unchanged;
}

/// Adds `part`, the report on identifiers above all of `into`'s, to `into`; the header's changes
/// are the same in both.
void append(DiffReport& into, DiffReport&& part) {
  const auto move_all = [](auto& to, auto& from) {
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
  };
  move_all(into.added, part.added);
  move_all(into.removed, part.removed);
  move_all(into.changed, part.changed);
  move_all(into.unreadable, part.unreadable);
  into.unchanged += part.unchanged;
  for (const tallowmere_dat::TypeTotals& totals : part.totals)
    add_totals(into.totals, totals);
}

/// `diff_archives`, in steps of a hundredth of the old archive's selected entries when reading
/// them is long and standard error is a terminal, with a progress display between the steps.
DiffReport diff_with_progress(const DatDatabase& old_db, const DatDatabase& new_db,
                              const DiffOptions& options) {
  const std::vector<const DatFileEntry*> entries = options.selection.select(old_db.files());
  std::uint64_t total_bytes = 0;
  for (const DatFileEntry* entry : entries)
    total_bytes += entry->size;
  if (options.metadata_only || total_bytes < kLongRunBytes || ::isatty(STDERR_FILENO) != 1) {
    return diff_archives(old_db, new_db, options);
  }
  ProgressBar progress(entries.size(), total_bytes, true);
  const std::size_t step = (entries.size() + kProgressSteps - 1) / kProgressSteps;
  std::optional<DiffReport> report;
  std::uint64_t bytes_done = 0;
  for (std::size_t begin = 0; begin < entries.size(); begin += step) {
    const std::size_t end = std::min(begin + step, entries.size());
    // The first step starts at identifier 0 and the last ends at the top, so that entries only
    // the new archive has fall into one of them.
    const IdRange chunk{begin == 0 ? 0 : entries[begin]->id,
                        end == entries.size() ? 0xFFFFFFFF : entries[end]->id - 1};
    if (const auto selection = within(options.selection, chunk)) {
      DiffReport part = diff_archives(
          old_db, new_db, {.selection = *selection, .metadata_only = options.metadata_only});
      if (report) {
        append(*report, std::move(part));
      } else {
        report = std::move(part);
      }
    }
    for (std::size_t i = begin; i < end; ++i)
      bytes_done += entries[i]->size;
    progress.update(end, bytes_done);
  }
  return report ? std::move(*report) : diff_archives(old_db, new_db, options);
}

std::string plural(std::uint64_t count, const char* what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

std::string header_value_text(std::string_view name, const HeaderValue& value) {
  const Json json = header_value_json(name, value);
  return json.is_string() ? json.get<std::string>() : json.dump();
}

std::string change_line(const Change& c) {
  std::string sizes;
  if (c.old_entry != nullptr) sizes = std::to_string(c.old_entry->size);
  if (c.old_entry != nullptr && c.new_entry != nullptr) sizes += " -> ";
  if (c.new_entry != nullptr) sizes += std::to_string(c.new_entry->size);
  std::string line = format("%c\t%s\t%s", c.letter, hex(c.id).c_str(), sizes.c_str());
  if (c.unreadable != nullptr) {
    line += "\tunreadable in " + std::string(side_name(c.unreadable->side())) + ": " +
            c.unreadable->message();
  }
  return line + "\n";
}

/// The table in `entry`'s file, or a line saying why there is none.
std::expected<SoundTable, std::string> table_of(const DatDatabase& db, const DatFileEntry& entry,
                                                std::vector<std::uint8_t>& bytes) {
  if (auto read = db.get_file_verified(entry.id, bytes); !read) {
    return std::unexpected(read.error().message());
  }
  Cursor cursor(bytes);
  auto table = SoundTable::read(cursor);
  if (!table) return std::unexpected("not a complete sound table: " + table.error().message());
  return std::move(*table);
}

void write_hash(Stdout& out, char sign, std::uint32_t key, const SoundHashData& h) {
  out.write(format("\t%c hash %s: ", sign, hex(key).c_str()) +
            levels_text(h.priority, h.probability, h.volume) + "\n");
}

void write_slot(Stdout& out, char sign, std::uint32_t key, const SoundData& slot) {
  out.write(format("\t%c sound %s: unknown %d, %s\n", sign, hex(key).c_str(), slot.unknown,
                   plural(slot.entries.size(), "entry").c_str()));
  for (const file_type::SoundEntry& e : slot.entries) {
    out.write(format("\t%c   wave_did %s: ", sign, hex(e.wave_did).c_str()) +
              levels_text(e.priority, e.probability, e.volume) + "\n");
  }
}

/// Under a changed sound table's line: its fields, hash records and slots that differ, each
/// record as in `diff -u`, the old one ("-") before the new ("+").
void write_table_changes(Stdout& out, const DatDatabase& old_db, const DatDatabase& new_db,
                         const Change& c) {
  std::vector<std::uint8_t> bytes;
  const auto old_table = table_of(old_db, *c.old_entry, bytes);
  const auto new_table = table_of(new_db, *c.new_entry, bytes);
  if (!old_table || !new_table) {
    out.write("\t? " + (old_table ? "new: " + new_table.error() : "old: " + old_table.error()) +
              "\n");
    return;
  }
  const SoundTableDiff diff = diff_sound_tables(*old_table, *new_table);
  if (diff.id) {
    out.write("\tid " + hex(diff.id->old_value) + " -> " + hex(diff.id->new_value) + "\n");
  }
  if (diff.hash_key) {
    out.write(format("\thash_key %d -> %d\n", diff.hash_key->old_value, diff.hash_key->new_value));
  }
  for (const auto& h : diff.hashes) {
    if (h.old_value) write_hash(out, '-', h.key, *h.old_value);
    if (h.new_value) write_hash(out, '+', h.key, *h.new_value);
  }
  for (const auto& s : diff.sounds) {
    if (s.old_value) write_slot(out, '-', s.key, *s.old_value);
    if (s.new_value) write_slot(out, '+', s.key, *s.new_value);
  }
}

void write_summary(Stdout& out, const DiffReport& report) {
  for (const tallowmere_dat::TypeTotals& t : report.totals) {
    out.write(format(
        "%s: %llu added (%s), %llu removed (%s), %llu changed (%s), %llu "
        "unreadable, %llu unchanged\n",
        hex(t.type, 2).c_str(), static_cast<unsigned long long>(t.files_added),
        plural(t.bytes_added, "byte").c_str(), static_cast<unsigned long long>(t.files_removed),
        plural(t.bytes_removed, "byte").c_str(), static_cast<unsigned long long>(t.files_changed),
        plural(t.bytes_changed, "byte").c_str(),
        static_cast<unsigned long long>(t.files_unreadable),
        static_cast<unsigned long long>(t.files_unchanged)));
  }
  std::string counted;
  std::string layout;
  for (const HeaderFieldChange& c : report.header_changes) {
    std::string& list = is_layout_field(c.name) ? layout : counted;
    list += (list.empty() ? "" : ", ") + std::string(c.name);
  }
  if (!counted.empty()) out.write("header differs: " + counted + "\n");
  if (!layout.empty()) out.write("layout only, no difference: " + layout + "\n");
}

void write_text(Stdout& out, const DiffCommandOptions& options, const DiffReport& report,
                const DatDatabase& old_db, const DatDatabase& new_db) {
  if (!options.stat) {
    for (const HeaderFieldChange& c : report.header_changes) {
      if (is_layout_field(c.name)) continue;
      out.write("H\t" + std::string(c.name) + "\t" + header_value_text(c.name, c.old_value) +
                " -> " + header_value_text(c.name, c.new_value) + "\n");
    }
    for (const Change& c : changes_by_id(report)) {
      out.write(change_line(c));
      if (options.sound_tables && c.letter == 'M' && type_of(c.id) == kSoundTableType) {
        write_table_changes(out, old_db, new_db, c);
      }
      if (out.failed()) return;
    }
  }
  write_summary(out, report);
}

Json record_json(const Change& c) {
  return c.unreadable != nullptr ? unreadable_json(*c.unreadable)
                                 : change_json(c.name, c.old_entry, c.new_entry);
}

void write_json(Stdout& out, const DiffCommandOptions& options, const DiffReport& report,
                bool differ) {
  const Json archives = archive_pair_json(options.old_path, options.new_path);
  if (options.json_lines) {
    for (const Change& c : changes_by_id(report))
      out.write(json_line(with_archive(archives, record_json(c))) + "\n");
    out.write(
        json_line(Json{{"archive", archives}, {"summary", diff_summary_json(report, differ)}}) +
        "\n");
    return;
  }
  out.write("{\"archive\": " + json_line(archives) + ", \"changes\": [");
  const std::vector<Change> changes = changes_by_id(report);
  for (std::size_t i = 0; i < changes.size(); ++i)
    out.write((i == 0 ? "\n  " : ",\n  ") + json_line(record_json(changes[i])));
  out.write(std::string(changes.empty() ? "" : "\n") +
            "], \"summary\": " + json_line(diff_summary_json(report, differ)) + "}\n");
}

/// True when `report` holds a difference other than layout header fields.
bool differs_beyond_layout(const DiffReport& report) {
  return !report.added.empty() || !report.removed.empty() || !report.changed.empty() ||
         !report.unreadable.empty() ||
         !std::ranges::all_of(report.header_changes,
                              [](const HeaderFieldChange& c) { return is_layout_field(c.name); });
}

/// True when the two paths name one file.
bool same_file(const std::string& a, const std::string& b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error) && !error;
}

/// The archive at `path`, or nothing after reporting which side it is and why it can't be read.
std::optional<DatDatabase> open_side(const std::string& path, std::string_view side) {
  auto db = DatDatabase::open(path);
  if (!db) {
    report({kName, std::string(side) + " archive", archive_error_text(path, db.error())});
    return std::nullopt;
  }
  return std::move(*db);
}

int run_diff(const DiffCommandOptions& options) {
  const auto selection = parse_selection(options.selection);  // checked while parsing
  const auto old_db = open_side(options.old_path, "old");
  const auto new_db = open_side(options.new_path, "new");
  if (!old_db || !new_db) return kExitTrouble;
  const DiffReport report = diff_with_progress(
      *old_db, *new_db, {.selection = *selection, .metadata_only = options.metadata_only});
  const bool differ =
      differs_beyond_layout(report) && !same_file(options.old_path, options.new_path);
  Stdout out;
  if (options.json || options.json_lines) {
    write_json(out, options, report, differ);
  } else {
    write_text(out, options, report, *old_db, *new_db);
  }
  return finish(out, kName, differ ? kExitFindings : kExitOk);
}

}  // namespace

void add_diff(CLI::App& app, Runner& run) {
  auto options = std::make_shared<DiffCommandOptions>();
  CLI::App* command = app.add_subcommand(
      kName,
      "What changed between two archives: one line per changed identifier (A added, D removed, "
      "M content, S stored form only, T metadata only, ! unreadable) with the sizes as stored, "
      "then a summary per type; exit status 1 when they differ");
  command->add_option("OLD", options->old_path, "The older archive")->required()->type_name("FILE");
  command->add_option("NEW", options->new_path, "The newer archive")->required()->type_name("FILE");
  add_selection_arguments(*command, options->selection,
                          "Only these files: identifiers, ranges or comma lists of them "
                          "(default: all)");
  command->add_flag("--stat", options->stat, "The summary only");
  command->add_flag("--metadata-only", options->metadata_only,
                    "Compare the directory entries only (size, flags, time, version), reading no "
                    "file");
  command->add_flag("--sound-tables", options->sound_tables,
                    "Under each changed sound table, its fields, hash records and slots that "
                    "differ, old (-) before new (+)");
  CLI::Option* json = command->add_flag(
      "--json", options->json,
      "One JSON document: {archive: {old, new}, changes: [...], summary} (see docs/json.md)");
  command
      ->add_flag("--json-lines", options->json_lines,
                 "One JSON object per change per line (NDJSON), then one holding the summary")
      ->excludes(json);
  command->callback([options, &run] { run = [options] { return run_diff(*options); }; });
}

}  // namespace tallowmere_dat::cli
