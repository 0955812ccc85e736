// Opens an archive, lists its sound tables, and decodes the first one.
// Usage: consumer ARCHIVE
#include <cstdint>
#include <cstdio>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/environ_report.h"
#include "tallowmere_dat/file_type/sound_table.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: consumer ARCHIVE\n");
    return 2;
  }
  // Every failure is a value: no exceptions, and a debug rendering for the message.
  auto db = tallowmere_dat::DatDatabase::open(argv[1]);
  if (!db) {
    std::fprintf(stderr, "cannot open %s: %s\n", argv[1], db.error().debug().c_str());
    return 1;
  }
  std::printf("%zu files, block size %u\n", db->files().size(), db->header().block_size);

  // files() is an unordered map from identifier to directory entry; sound_table_ids() picks
  // out the sound tables (type byte 0x20), sorted.
  const auto ids = tallowmere_dat::sound_table_ids(*db);
  if (ids.empty()) return 0;
  for (const std::uint32_t id : ids) {
    const auto& entry = db->files().at(id);
    std::printf("0x%08X  %u bytes%s\n", id, entry.size,
                entry.is_compressed() ? ", compressed" : "");
  }

  // get_file() follows the block chain and decompresses; the bytes belong to the caller.
  const auto bytes = db->get_file(ids.front());
  if (!bytes) {
    std::fprintf(stderr, "0x%08X: %s\n", ids.front(), bytes.error().debug().c_str());
    return 1;
  }
  tallowmere_dat::Cursor cursor(*bytes);
  const auto table = tallowmere_dat::file_type::SoundTable::read(cursor);
  if (!table) {
    std::fprintf(stderr, "0x%08X: %s\n", ids.front(), table.error().display().c_str());
    return 1;
  }
  std::printf("sound table 0x%08X: %zu slots\n", ids.front(), table->sounds.size());
  // The slots come in ascending order of their keys.
  for (const auto& [slot, data] : table->sounds) {
    std::printf("  slot 0x%X: %zu entries, first wave 0x%08X\n", slot, data.entries.size(),
                data.entries.empty() ? 0U : data.entries.front().wave_did);
  }
  return 0;
}
