// Opens an archive, lists its sound tables, and decodes the first one.
// Usage: consumer ARCHIVE
#include <cstdint>
#include <cstdio>

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

  // files() is the directory sorted by identifier; of_type() picks out one type byte's run.
  const auto tables = db->files().of_type(tallowmere_dat::kSoundTableType);
  if (tables.empty()) return 0;
  for (const tallowmere_dat::DatFileEntry& entry : tables) {
    std::printf("0x%08X  %u bytes%s\n", entry.id, entry.size,
                entry.is_compressed() ? ", compressed" : "");
  }
  const std::uint32_t first = tables.front().id;

  // get_file() follows the block chain and decompresses; the bytes belong to the caller.
  const auto bytes = db->get_file(first);
  if (!bytes) {
    std::fprintf(stderr, "0x%08X: %s\n", first, bytes.error().debug().c_str());
    return 1;
  }
  tallowmere_dat::Cursor cursor(*bytes);
  const auto table = tallowmere_dat::file_type::SoundTable::read(cursor);
  if (!table) {
    std::fprintf(stderr, "0x%08X: %s\n", first, table.error().display().c_str());
    return 1;
  }
  std::printf("sound table 0x%08X: %zu slots\n", first, table->sounds.size());
  // The slots come in ascending order of their keys.
  for (const auto& [slot, data] : table->sounds) {
    std::printf("  slot 0x%X: %zu entries, first wave 0x%08X\n", slot, data.entries.size(),
                data.entries.empty() ? 0U : data.entries.front().wave_did);
  }
  return 0;
}
