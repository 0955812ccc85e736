// Any bytes as an archive file: opened, then every entry fetched and every sound table decoded,
// as the probe does. Every failure must be one of the errors the reader documents, and render.
//
// One archive feature costs time and memory in proportion to what an entry declares rather than
// to the file: a chain may run over overlapping blocks and so legitimately yield up to 4 GiB, one
// small read per block. (A chain that loops costs a few reads per distinct block, and is refused
// as corruption where its size exceeds the file's length.) That is a defined result, measured by
// the memory-bounds tests; here an entry is fetched only while its declared size and block count
// stay within a budget per input, so that one input cannot stall the run.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/file_type/sound_table.h"
#include "tallowmere_dat/io_error.h"

namespace {

using tallowmere_dat::DatDatabase;
using tallowmere_dat::DatError;

constexpr std::uint64_t kMaxBytesPerInput = std::uint64_t{1} << 18U;
constexpr std::uint64_t kMaxBlocksPerInput = std::uint64_t{1} << 12U;

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  (void)std::fprintf(stderr, "archive_fuzzer: %s %s\n", what, detail.c_str());
  std::abort();
}

/// One memory file for the whole run, rewritten for every input.
class MemoryFile {
 public:
  MemoryFile() : fd_(::memfd_create("archive", 0)) {
    if (fd_ < 0) fail("memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  void assign(const std::uint8_t* data, std::size_t size) const {
    if (::ftruncate(fd_, 0) != 0) fail("ftruncate failed");
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) fail("pwrite failed");
      done += static_cast<std::size_t>(n);
    }
  }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

/// The errors an archive's bytes can cause: data ending early, a header or node cut short,
/// or a layout the reader refuses to follow. Each must render.
void check_error(const DatError& error) {
  const std::string text = error.debug();
  if (text.empty()) fail("an error renders empty");
  if (const auto* io = error.get_if<DatError::Io>()) {
    if (io->error.kind() != tallowmere_dat::IoErrorKind::UnexpectedEof) {
      fail("unexpected I/O error", text);
    }
    return;
  }
  if (const auto* bin_read = error.get_if<DatError::BinRead>()) {
    if (bin_read->error.get_if<tallowmere_dat::ReadError::Backtrace>() == nullptr) {
      fail("a record failure without its field frame", text);
    }
    return;
  }
  if (error.get_if<DatError::Corruption>() == nullptr) fail("unexpected error variant", text);
}

std::uint64_t block_estimate(std::uint32_t size, std::uint32_t block_size) {
  return block_size > 4 ? size / (block_size - 4) + 1 : 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const MemoryFile file;
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
