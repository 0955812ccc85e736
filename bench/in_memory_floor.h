#pragma once

// The floor that reading many files is judged against: the archive read into memory with one
// read, every chain walked there by a plain loop, compressed files decoded by the public LRS
// decoder, into buffers reused throughout.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bench_archive.h"
#include "tallowmere_dat/dat_database.h"
#include "tallowmere_dat/lrs.h"

namespace tallowmere_bench {

using Bytes = std::vector<std::uint8_t>;

/// The whole file at `path` into `image`, already large enough, by one read (more only if the
/// kernel returns it short); the bytes read, or 0 on failure.
inline std::size_t read_whole(const std::string& path, Bytes& image) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t at = 0;
  while (at < image.size()) {
    const ssize_t got = ::read(fd, image.data() + at, image.size() - at);
    if (got <= 0) break;
    at += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return at;
}

/// `size` bytes of the chain at `offset`, walked in `image` into `out`: each block's payload,
/// and everything still wanted from a block whose pointer is 0. False when it runs off the end.
inline bool walk_chain(std::span<const std::uint8_t> image, std::uint32_t block_size,
                       std::uint32_t offset, std::uint32_t size, Bytes& out) {
  out.resize(size);
  std::size_t at = 0;
  for (std::uint64_t block = offset; at < size;) {
    if (block + 4 > image.size()) return false;
    const std::uint32_t next = load_u32(&image[block]);
    const std::size_t take =
        next == 0 ? size - at : std::min<std::size_t>(block_size - 4, size - at);
    if (block + 4 + take > image.size()) return false;
    std::copy_n(&image[block + 4], take, &out[at]);
    at += take;
    block = next;
  }
  return true;
}

/// Every file of `db`, whose archive is at `path`, read the floor's way through `image` (large
/// enough for the archive), `stored` and `content`; false when the archive can't be read or a
/// chain runs off its end.
inline bool read_every_file_in_memory(const tallowmere_dat::DatDatabase& db,
                                      const std::string& path, Bytes& image, Bytes& stored,
                                      Bytes& content) {
  const std::size_t length = read_whole(path, image);
  const std::span<const std::uint8_t> archive(image.data(), length);
  for (const tallowmere_dat::DatFileEntry& entry : db.files()) {
    if (!walk_chain(archive, db.header().block_size, entry.offset, entry.size, stored)) {
      return false;
    }
    if (entry.is_compressed()) (void)tallowmere_dat::decompress_lrs_into(stored, content);
  }
  return length > 0;
}

}  // namespace tallowmere_bench
