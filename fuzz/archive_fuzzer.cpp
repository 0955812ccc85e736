// Any bytes as an archive file: opened, then every entry fetched and every sound table decoded,
// as the probe does. Every failure must be one of the errors the reader documents, and render.
//
// One archive feature costs time and memory in proportion to what an entry declares rather than
// to the file: a chain may run over overlapping blocks and so legitimately yield up to 4 GiB, one
// small read per block. (A chain that loops costs a few reads per distinct block, and is refused
// as corruption where its size exceeds the file's length.) That is a defined result, measured by
// the memory-bounds tests; here an entry is fetched only while its declared size and block count
// stay within a budget per input, so that one input cannot stall the run.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/file_type/sound_table.h"

namespace {

using tallowmere_dat::DatDatabase;
using tallowmere_fuzz::check_error;
using tallowmere_fuzz::fail;

constexpr std::uint64_t kMaxBytesPerInput = std::uint64_t{1} << 18U;
constexpr std::uint64_t kMaxBlocksPerInput = std::uint64_t{1} << 12U;

std::uint64_t block_estimate(std::uint32_t size, std::uint32_t block_size) {
  return block_size > 4 ? size / (block_size - 4) + 1 : 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const tallowmere_fuzz::MemoryFile file;
  file.assign(data, size);

  auto db = DatDatabase::open(file.path());
  if (!db) {
    check_error(db.error());
    return 0;
  }

  if (std::ranges::adjacent_find(db->files(), std::ranges::greater_equal{},
                                 &tallowmere_dat::DatFileEntry::id) != db->files().end()) {
    fail("the index is not in strictly ascending identifier order");
  }

  std::uint64_t bytes_left = kMaxBytesPerInput;
  std::uint64_t blocks_left = kMaxBlocksPerInput;
  for (const tallowmere_dat::DatFileEntry& entry : db->files()) {
    const std::uint32_t id = entry.id;
    const std::uint64_t blocks = block_estimate(entry.size, db->header().block_size);
    if (entry.size > bytes_left || blocks > blocks_left) {
      continue;
    }
    bytes_left -= entry.size;
    blocks_left -= blocks;
    auto bytes = db->get_file(id);
    if (!bytes) {
      check_error(bytes.error());
      continue;
    }
    if (!entry.is_compressed() && bytes->size() != entry.size) fail("wrong stored length");
    if (!tallowmere_dat::is_sound_table_id(id)) continue;
    tallowmere_dat::Cursor cursor(*bytes);
    auto table = tallowmere_dat::file_type::SoundTable::read(cursor);
    if (!table && table.error().display().empty()) fail("a decode error renders empty");
  }
  return 0;
}
