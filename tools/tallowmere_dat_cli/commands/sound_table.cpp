// `sound-table ARCHIVE SEL... [--type T]... [--json]`: the selected sound tables decoded, keys
// ascending, entries in file order, every float in a form that reads back to the same bits; as
// JSON, one table per line.

#include "tallowmere_dat/file_type/sound_table.h"

#include <algorithm>
#include <memory>

#include "archive.h"
#include "commands.h"
#include "format.h"
#include "json_schema.h"
#include "output.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "sound-table";

using file_type::SoundEntry;
using file_type::SoundTable;

struct SoundTableOptions {
  std::string archive;
  SelectionArgs selection;
  bool json = false;
};

void write_text(Stdout& out, std::uint32_t archive_id, const SoundTable& table) {
  out.write(format("sound table %s: id %s, hash_key %d\n", hex(archive_id).c_str(),
                   hex(table.id).c_str(), table.hash_key));
  out.write(format("hashes: %zu\n", table.hashes.size()));
  for (const auto& [key, h] : table.hashes) {
    out.write("  " + hex(key, 0) + ": " + levels_text(h.priority, h.probability, h.volume) + "\n");
  }
  out.write(format("sounds: %zu\n", table.sounds.size()));
  for (const auto& [key, slot] : table.sounds) {
    out.write(format("  %s: %zu %s, unknown %d\n", hex(key, 0).c_str(), slot.entries.size(),
                     slot.entries.size() == 1 ? "entry" : "entries", slot.unknown));
    for (const SoundEntry& e : slot.entries) {
      out.write("    wave_did " + hex(e.wave_did) + ": " +
                levels_text(e.priority, e.probability, e.volume) + "\n");
    }
  }
}

constexpr std::uint8_t kSoundTableType = 0x20;

/// True when `selection` names `id` by itself rather than in a range or by type.
bool named_alone(const Selection& selection, std::uint32_t id) {
  return std::ranges::any_of(selection.ranges,
                             [id](IdRange r) { return r.first == id && r.last == id; });
}

std::string plural(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

/// Decodes `entry`'s table and writes it; false when it isn't a sound table, can't be read or
/// decoded, or has bytes left over after its last record (reported after the table, in check's
/// words).
bool show_table(const DatDatabase& db, const DatFileEntry& entry, const SoundTableOptions& options,
                std::vector<std::uint8_t>& bytes, Stdout& out) {
  if (!fetch_file(db, entry, bytes, kName)) return false;
  Cursor cursor(bytes);
  const auto table = SoundTable::read(cursor);
  if (!table) {
    report({kName, hex(entry.id), "not a complete sound table: " + table.error().message()});
    return false;
  }
  if (options.json) {
    out.write(json_line(with_archive(options.archive, sound_table_json(entry.id, *table))) + "\n");
  } else {
    write_text(out, entry.id, *table);
  }
  const std::size_t used = bytes.size() - cursor.remaining().size();
  if (used == bytes.size()) return true;
  (void)out.flush();  // the finding follows the table it is about
  report({kName, "sound table " + hex(entry.id),
          plural(bytes.size() - used, "byte", "bytes") +
              " left over after its last sound record, from byte " + std::to_string(used) + " of " +
              std::to_string(bytes.size())});
  return false;
}

int run_sound_table(const SoundTableOptions& options) {
  const auto selection = parse_selection(options.selection);  // checked while parsing
  const auto db = open_archive(options.archive, kName);
  if (!db) return kExitTrouble;
  bool failed = report_unselected_ids(kName, *selection, *db) != 0;
  Stdout out;
  std::vector<std::uint8_t> bytes;
  for (const DatFileEntry* entry : selection->select(db->files())) {
    // A range or a type may cover other files; a file named alone must be a table.
    if (type_of(entry->id) != kSoundTableType) {
      if (named_alone(*selection, entry->id)) {
        report({kName, format("%s is not a sound table (type %s)", hex(entry->id).c_str(),
                              hex(type_of(entry->id), 2).c_str())});
        failed = true;
      }
      continue;
    }
    failed = !show_table(*db, *entry, options, bytes, out) || failed;
    if (out.failed()) break;
  }
  return finish(out, kName, failed ? kExitFindings : kExitOk);
}

}  // namespace

void add_sound_table(CLI::App& app, Runner& run) {
  auto options = std::make_shared<SoundTableOptions>();
  CLI::App* command =
      app.add_subcommand(kName,
                         "Decode the selected sound tables (type 0x20): slots ascending, entries "
                         "in file order");
  add_archive_argument(*command, options->archive);
  add_selection_arguments(*command, options->selection,
                          "The tables: identifiers, ranges or comma lists of them");
  require_selection(*command, options->selection);
  command->add_flag("--json,--json-lines", options->json,
                    "One JSON object per table per line (NDJSON); NaN and infinities as strings "
                    "(\"nan:0x7FC00000\", \"inf\")");
  command->callback([options, &run] { run = [options] { return run_sound_table(*options); }; });
}

}  // namespace tallowmere_dat::cli
