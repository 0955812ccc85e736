// Opens an archive, lists its sound tables, reads one file checked, and decodes the first table.
// Usage: consumer ARCHIVE
#include <cstdint>
#include <cstdio>
#include <vector>

#include "tallowmere_dat/tallowmere_dat.h"

namespace td = tallowmere_dat;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: consumer ARCHIVE\n");
    return 2;
  }
  // Every failure is a value; message() is one line for people.
  auto db = td::DatDatabase::open(argv[1]);
  if (!db) {
    std::fprintf(stderr, "consumer: %s\n", db.error().message().c_str());
    return 1;
  }
  std::printf("%zu files, block size %u\n", db->files().size(), db->header().block_size);

  // files() is sorted by identifier; of_type() is the run of one type byte.
  const auto tables = db->files().of_type(td::kSoundTableType);
  for (const td::DatFileEntry& entry : tables) {
    std::printf("0x%08X  %u bytes%s\n", entry.id, entry.size,
                entry.is_compressed() ? ", compressed" : "");
  }

  // The checked read fails where a compressed file's stream falls short of its declared size.
  // Into one buffer, reused: a loop over many files allocates only for the largest.
  std::vector<std::uint8_t> bytes;
  for (const td::DatFileEntry& entry : db->files()) {
    if (!entry.is_compressed()) continue;
    if (auto read = db->get_file_verified(entry.id, bytes); !read) {
      std::fprintf(stderr, "consumer: %s\n", read.error().message().c_str());
      return 1;
    }
    std::printf("0x%08X decompressed: %zu bytes\n", entry.id, bytes.size());
    break;
  }

  if (tables.empty()) return 0;
  const auto table = td::read_sound_table(*db, tables.front().id);
  if (!table) {
    std::fprintf(stderr, "consumer: %s\n", table.error().message().c_str());
    return 1;
  }
  std::printf("sound table 0x%08X: %zu slots\n", tables.front().id, table->sounds.size());
  for (const auto& [slot, data] : table->sounds) {  // ascending slot keys
    std::printf("  slot 0x%X: %zu entries, first wave 0x%08X\n", slot, data.entries.size(),
                data.entries.empty() ? 0U : data.entries.front().wave_did);
  }

  // A missing file is an error value too.
  if (const auto missing = db->get_file_verified(0x12345678); !missing) {
    std::printf("%s\n", missing.error().message().c_str());
  }
  return 0;
}
