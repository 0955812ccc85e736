// `environ ARCHIVE`: the environ probe's report for any archive, from the same library function.

#include <memory>

#include "archive.h"
#include "commands.h"
#include "format.h"
#include "json_schema.h"
#include "output.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_report/environ_report.h"

namespace tallowmere_dat::cli {
namespace {

constexpr const char* kName = "environ";

struct EnvironOptions {
  std::string archive;
  bool json = false;
};

bool in_range(std::uint32_t key, std::uint32_t first, std::uint32_t last) {
  return first <= key && key <= last;
}

/// What the report says, as data: the same tables (those that fetch and decode, as the report
/// reads them), each environ slot with the wave of its first entry, and the counts.
Json environ_json(const std::string& archive_path, const DatDatabase& db) {
  const std::vector<std::uint32_t> ids = sound_table_ids(db);
  Json tables = Json::array();
  std::uint64_t ambient_tables = 0;
  std::vector<std::uint8_t> bytes;
  for (const std::uint32_t id : ids) {
    if (!db.get_file(id, bytes)) continue;
    Cursor cursor(bytes);
    const auto table = file_type::SoundTable::read(cursor);
    if (!table) continue;
    Json slots = Json::array();
    bool ambient = false;
    for (const auto& [key, slot] : table->sounds) {
      ambient = ambient || in_range(key, kAmbientFirst, kAmbientLast);
      if (!in_range(key, kEnvironFirst, kEnvironLast)) continue;
      slots.push_back(
          {{"key", hex_json(key)},
           {"wave_did", hex_json(slot.entries.empty() ? 0 : slot.entries.front().wave_did)}});
    }
    ambient_tables += ambient ? 1U : 0U;
    if (slots.empty()) continue;
    tables.push_back({{"id", hex_json(id)},
                      {"sound_slots", table->sounds.size()},
                      {"environ_slots", std::move(slots)}});
  }
  const std::size_t environ_tables = tables.size();
  return Json{{"archive", text_json(archive_path)},
              {"sound_tables", ids.size()},
              {"tables", std::move(tables)},
              {"environ_tables", environ_tables},
              {"ambient_tables", ambient_tables}};
}

int run_environ(const EnvironOptions& options) {
  const auto db = open_archive(options.archive, kName);
  if (!db) return kExitTrouble;
  Stdout out;
  if (options.json) {
    out.write(environ_json(options.archive, *db).dump(2) + "\n");
    return finish(out, kName);
  }
  // Streamed as the probe streams it; a failed write ends the report early.
  (void)write_environ_report(*db, [&out](std::string_view piece) {
    out.write(piece);
    return !out.failed();
  });
  return finish(out, kName);
}

}  // namespace

void add_environ(CLI::App& app, Runner& run) {
  auto options = std::make_shared<EnvironOptions>();
  CLI::App* command = app.add_subcommand(
      kName,
      "Print the environ probe's report (sound tables with slots 0x76-0x8A) for this archive");
  add_archive_argument(*command, options->archive);
  command->add_flag("--json", options->json,
                    "As one JSON object: the tables with environ slots, and the counts");
  command->callback([options, &run] { run = [options] { return run_environ(*options); }; });
}

}  // namespace tallowmere_dat::cli
