// `sound-table ARCHIVE ID [--json]`: one decoded sound table, keys ascending, entries in file
// order, every float in a form that reads back to the same bits.

#include "tallowmere_dat/file_type/sound_table.h"

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
  std::uint32_t id = 0;
  bool json = false;
};

std::string levels_text(float priority, float probability, float volume) {
  return "priority " + float_text(priority) + ", probability " + float_text(probability) +
         ", volume " + float_text(volume);
}

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

int run_sound_table(const SoundTableOptions& options) {
  const auto db = open_archive(options.archive, kName);
  if (!db) return kExitFailure;
  const std::uint32_t id = options.id;
  const auto bytes = fetch_file(*db, id, "sound-table");
  if (!bytes) return kExitFailure;
  Cursor cursor(*bytes);
  const auto table = SoundTable::read(cursor);
  if (!table) {
    report({kName, hex(id), "not a complete sound table: " + table.error().message()});
    return kExitFailure;
  }
  Stdout out;
  if (options.json) {
    out.write(sound_table_json(id, *table).dump(2) + "\n");
  } else {
    write_text(out, id, *table);
  }
  return finish(out, kName);
}

}  // namespace

void add_sound_table(CLI::App& app, Runner& run) {
  auto options = std::make_shared<SoundTableOptions>();
  CLI::App* command =
      app.add_subcommand(kName, "Decode one sound table: slots ascending, entries in file order");
  add_archive_argument(*command, options->archive);
  add_id_argument(*command, options->id);
  command->add_flag("--json", options->json,
                    "As JSON; NaN and infinities as strings (\"nan:0x7FC00000\", \"inf\")");
  command->callback([options, &run] { run = [options] { return run_sound_table(*options); }; });
}

}  // namespace tallowmere_dat::cli
